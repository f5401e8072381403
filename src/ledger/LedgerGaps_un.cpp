// Merging recorders' gaps and their text.
#include "ledger/LedgerGaps_un.h"

#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <unistd.h>

#include <algorithm>
#include <limits>

namespace bw {

std::string LedgerRecorderName(const TLedgerOptions &AOptions) {
  if (!AOptions.Recorder.empty())
    return StoredRecorderName(AOptions.Recorder);
  char Host[256] = {};
  if (::gethostname(Host, sizeof Host - 1) != 0 || Host[0] == '\0')
    return "localhost";
  return StoredRecorderName(Host);
}

std::string StoredRecorderName(std::string_view ARecorder) {
  return OneLineText(std::string(ARecorder.substr(0, MaxRecorderNameSize)));
}

static std::string JoinedReason(const std::string &AFirst, const std::string &ASecond) {
  if (AFirst.empty() || AFirst == ASecond)
    return ASecond.substr(0, MaxGapReasonSize);
  if (ASecond.empty() || AFirst.find(ASecond) != std::string::npos)
    return AFirst.substr(0, MaxGapReasonSize);
  return (AFirst + "; " + ASecond).substr(0, MaxGapReasonSize);
}

static void Absorb(TLedgerGap &AInto, const TLedgerGap &AOther) {
  AInto.From = std::min(AInto.From, AOther.From);
  AInto.To = std::max(AInto.To, AOther.To);
  AInto.Reason = JoinedReason(AInto.Reason, AOther.Reason);
}

std::vector<TLedgerGap> MergeGap(std::vector<TLedgerGap> ARecorderGaps, TLedgerGap ANew, TLedgerTime ACutoff) {
  if (ANew.To < ANew.From)
    std::swap(ANew.From, ANew.To);
  ANew.Reason = OneLineText(ANew.Reason.substr(0, MaxGapReasonSize));
  std::vector<TLedgerGap> Result;
  for (TLedgerGap &Gap : ARecorderGaps) {
    if (Gap.To < ACutoff)
      continue;
    if (Gap.To < ANew.From || Gap.From > ANew.To)
      Result.push_back(std::move(Gap));
    else
      Absorb(ANew, Gap);
  }
  if (ANew.To >= ACutoff)
    Result.push_back(std::move(ANew));
  std::sort(Result.begin(), Result.end(), [](const TLedgerGap &A, const TLedgerGap &B) { return A.From < B.From; });
  // The oldest matter least: a bounce of mail sent then is the least likely
  // still to come back.
  while (Result.size() > MaxGapsPerRecorder) {
    Absorb(Result[1], Result[0]);
    Result.erase(Result.begin());
  }
  return Result;
}

std::string GapsText(const std::vector<TLedgerGap> &AGaps) {
  std::string Text;
  for (const TLedgerGap &Gap : AGaps)
    Text += std::to_string(Gap.From.time_since_epoch().count()) + ' ' +
            std::to_string(Gap.To.time_since_epoch().count()) + ' ' + OneLineText(Gap.Reason) + '\n';
  return Text;
}

std::vector<TLedgerGap> ParseGapsText(std::string_view ARecorder, std::string_view AText) {
  constexpr std::int64_t MaxSeconds = std::numeric_limits<std::int64_t>::max() / 2;
  std::vector<TLedgerGap> Gaps;
  while (!AText.empty()) {
    const std::size_t End = AText.find('\n');
    std::string_view Line = AText.substr(0, End);
    AText = End == std::string_view::npos ? std::string_view() : AText.substr(End + 1);
    const std::size_t First = Line.find(' ');
    const std::size_t Second = First == std::string_view::npos ? First : Line.find(' ', First + 1);
    if (Second == std::string_view::npos)
      continue;
    const std::optional<std::int64_t> From = ParseDecimal<std::int64_t>(Line.substr(0, First), 0, MaxSeconds);
    const std::optional<std::int64_t> To =
        ParseDecimal<std::int64_t>(Line.substr(First + 1, Second - First - 1), 0, MaxSeconds);
    if (!From || !To)
      continue;
    Gaps.push_back({std::string(ARecorder), TLedgerTime(std::chrono::seconds(*From)),
                    TLedgerTime(std::chrono::seconds(*To)), std::string(Line.substr(Second + 1))});
  }
  return Gaps;
}

} // namespace bw
