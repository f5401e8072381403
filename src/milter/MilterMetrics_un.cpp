// The milter's counts and the summary line made of them.
#include "milter/MilterMetrics_un.h"

#include <algorithm>

namespace bw {

static constexpr std::string_view VerdictLabels[] = {"backscatter", "not backscatter", "error",
                                                     "not checked", "too large",       "refused",
                                                     "deferred"};
static constexpr std::string_view ActionLabels[] = {"accept", "reject", "discard", "quarantine",
                                                    "tag",    "log",    "tempfail"};
static constexpr std::string_view ErrorClasses[] = {"check", "unfinished", "internal", "memory", "buffer-limit", "timeout"};
static constexpr std::string_view GapReasons[] = {"warming up", "unavailable", "gap"};
static constexpr std::string_view RecordResults[] = {"recorded", "expired", "full", "unavailable"};
static constexpr std::string_view LookupResults[] = {"found", "absent", "unknown", "slow"};
static_assert(std::size(VerdictLabels) == vlVerdictCount && std::size(ActionLabels) == alActionCount &&
              std::size(ErrorClasses) == ecErrorCount && std::size(GapReasons) == grGapCount &&
              std::size(RecordResults) == RecordCount && std::size(LookupResults) == LookupCount);

std::string_view VerdictLabelName(TVerdictLabel ALabel) { return VerdictLabels[ALabel]; }
std::string_view ActionLabelName(TActionLabel ALabel) { return ActionLabels[ALabel]; }
std::string_view ErrorClassName(TErrorClass AClass) { return ErrorClasses[AClass]; }
std::string_view GapReasonName(TGapReason AReason) { return GapReasons[AReason]; }
std::string_view RecordResultName(TRecordResult AResult) { return RecordResults[AResult]; }
std::string_view LookupResultName(TLedgerEvidence AEvidence) { return LookupResults[AEvidence - leFound]; }

template <class T, std::size_t N>
static std::array<T, N> Minus(const std::array<T, N> &ALater, const std::array<T, N> &AEarlier) {
  std::array<T, N> Result{};
  for (std::size_t I = 0; I < N; ++I) {
    if constexpr (std::is_integral_v<T>)
      Result[I] = ALater[I] - AEarlier[I];
    else
      Result[I] = Minus(ALater[I], AEarlier[I]);
  }
  return Result;
}

TMetricsReading TMetricsReading::operator-(const TMetricsReading &AEarlier) const {
  TMetricsReading Delta;
  Delta.Messages = Minus(Messages, AEarlier.Messages);
  Delta.Verdicts = Minus(Verdicts, AEarlier.Verdicts);
  Delta.Errors = Minus(Errors, AEarlier.Errors);
  Delta.Records = Minus(Records, AEarlier.Records);
  Delta.Lookups = Minus(Lookups, AEarlier.Lookups);
  Delta.Outages = Outages - AEarlier.Outages;
  Delta.Gaps = Minus(Gaps, AEarlier.Gaps);
  Delta.CheckTimes = Minus(CheckTimes, AEarlier.CheckTimes);
  Delta.CheckMicroseconds = CheckMicroseconds - AEarlier.CheckMicroseconds;
  return Delta;
}

void TMilterMetrics::Answered(bool AAnswered) noexcept {
  const bool Down = !AAnswered;
  // Only a change is written: a store on every message would bounce the
  // line between cores.
  if (FLedgerDown.load(std::memory_order_relaxed) == Down)
    return;
  if (FLedgerDown.exchange(Down) != Down && Down)
    Add(FOutages);
}

void TMilterMetrics::Record(TRecordResult AResult) noexcept {
  Add(FRecords[AResult]);
  Answered(AResult != rrUnavailable);
}

void TMilterMetrics::Lookup(TLedgerEvidence AAnswer) noexcept {
  if (AAnswer == leNotAsked)
    return;
  Add(FLookups[AAnswer - leFound]);
  Answered(AAnswer != leUnknown && AAnswer != leSlow);
}

void TMilterMetrics::CheckTime(std::chrono::microseconds ATime) noexcept {
  const double Seconds = std::chrono::duration<double>(ATime).count();
  const std::size_t Bucket = static_cast<std::size_t>(
      std::lower_bound(std::begin(CheckTimeBounds), std::end(CheckTimeBounds), Seconds) - std::begin(CheckTimeBounds));
  Add(FCheckTimes[Bucket]);
  FCheckMicroseconds.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(0, ATime.count())),
                               std::memory_order_relaxed);
}

template <class T, std::size_t N> static auto Load(const std::array<T, N> &ACounts) {
  if constexpr (std::is_same_v<T, std::atomic<std::uint64_t>>) {
    std::array<std::uint64_t, N> Values{};
    for (std::size_t I = 0; I < N; ++I)
      Values[I] = ACounts[I].load(std::memory_order_relaxed);
    return Values;
  } else {
    std::array<decltype(Load(ACounts[0])), N> Values{};
    for (std::size_t I = 0; I < N; ++I)
      Values[I] = Load(ACounts[I]);
    return Values;
  }
}

TMetricsReading TMilterMetrics::Read() const noexcept {
  TMetricsReading Reading;
  Reading.Messages = Load(FMessages);
  Reading.Verdicts = Load(FVerdicts);
  Reading.Errors = Load(FErrors);
  Reading.Records = Load(FRecords);
  Reading.Lookups = Load(FLookups);
  Reading.Outages = FOutages.load(std::memory_order_relaxed);
  Reading.Gaps = Load(FGaps);
  Reading.CheckTimes = Load(FCheckTimes);
  Reading.CheckMicroseconds = FCheckMicroseconds.load(std::memory_order_relaxed);
  return Reading;
}

TActionLabel ActionLabelOf(std::string_view AActionTaken) {
  if (AActionTaken.starts_with("accept (log only"))
    return alLog;
  // "tag failed, accepted": the MTA was told to accept.
  if (AActionTaken.find(" failed, accepted") != std::string_view::npos)
    return alAccept;
  const std::string_view Word = AActionTaken.substr(0, AActionTaken.find_first_of(" ,"));
  for (std::size_t I = 0; I < alActionCount; ++I)
    if (Word == ActionLabels[I])
      return static_cast<TActionLabel>(I);
  return alAccept;
}

// " name=count" for each count that is not 0, or " none".
template <class TName> static std::string Counts(std::size_t ACount, TName ANameOf, const auto &ACountOf) {
  std::string Text;
  for (std::size_t I = 0; I < ACount; ++I)
    if (const std::uint64_t Count = ACountOf(I))
      Text.append(" ").append(ANameOf(I)).append("=").append(std::to_string(Count));
  return Text.empty() ? " none" : Text;
}

// A label as one word: "not backscatter" as "not-backscatter".
static std::string Word(std::string_view ALabel) {
  std::string Text(ALabel);
  std::replace(Text.begin(), Text.end(), ' ', '-');
  return Text;
}

std::string SummaryText(const TMetricsReading &ADelta, std::chrono::seconds ASpan) {
  const auto &V = ADelta.Verdicts;
  const auto ByVerdict = [&V](std::size_t AVerdict) {
    std::uint64_t Sum = 0;
    for (const auto &Actions : V[AVerdict])
      for (const std::uint64_t Count : Actions)
        Sum += Count;
    return Sum;
  };
  const auto ByRule = [&V](std::size_t ARule) {
    std::uint64_t Sum = 0;
    for (const auto &Rules : V)
      for (const std::uint64_t Count : Rules[ARule])
        Sum += Count;
    return Sum;
  };
  const auto ByAction = [&V](std::size_t AAction) {
    std::uint64_t Sum = 0;
    for (const auto &Rules : V)
      for (const auto &Actions : Rules)
        Sum += Actions[AAction];
    return Sum;
  };
  return "summary of the last " + std::to_string(ASpan.count()) +
         " s: messages=" + std::to_string(ADelta.Messages[0] + ADelta.Messages[1]) +
         " (bounces=" + std::to_string(ADelta.Messages[1]) + "), verdicts:" +
         Counts(vlVerdictCount, [](std::size_t I) { return Word(VerdictLabels[I]); }, ByVerdict) + ", rules:" +
         Counts(RuleCount, [](std::size_t I) { return std::string(I == drNone ? "none" : RuleName(TDecidingRule(I))); },
                ByRule) +
         ", actions:" + Counts(alActionCount, [](std::size_t I) { return std::string(ActionLabels[I]); }, ByAction) +
         ", errors:" +
         Counts(ecErrorCount, [](std::size_t I) { return std::string(ErrorClasses[I]); },
                [&ADelta](std::size_t I) { return ADelta.Errors[I]; });
}

} // namespace bw
