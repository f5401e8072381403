// The milter's counts: messages by kind, verdicts by rule and action,
// errors by class, the ledger's records, lookups, outages and gaps, and the
// time the checks took. Plain atomics, so that counting costs a check next
// to nothing and the libraries the tests link need no metrics library; the
// daemon exposes them to Prometheus (src/metrics) and writes the hourly
// summary line from them.
#pragma once

#include "ledger/LedgerStore_un.h"
#include "verdict/Verdict_un.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

// What became of a message the log has a line for.
enum TVerdictLabel : std::uint8_t {
  vlBackscatter, vlNotBackscatter, vlError, vlNotChecked, vlTooLarge, vlRefused, vlDeferred, vlVerdictCount
};
// What the MTA was told to do with it.
enum TActionLabel : std::uint8_t {
  alAccept, alReject, alDiscard, alQuarantine, alTag, alLog, alTempfail, alActionCount
};
// Why a message got no verdict, or a connection was closed.
enum TErrorClass : std::uint8_t {
  ecCheck,        // the check failed (the pattern, the message, the ledger deciding alone)
  ecUnfinished,   // cut short by a stop's grace time
  ecInternal,     // a step failed inside the milter
  ecMemory,       // a header could not be kept
  ecBufferLimit,  // beyond --buffer-limit
  ecTimeout,      // a connection closed for its silence or its message's age
  ecErrorCount
};
// Why a bounce was judged without the ledger.
// (unavailable includes an answer too slow to use; a gap is a span in which
// the recorders could not record).
enum TGapReason : std::uint8_t { grWarmingUp, grUnavailable, grInGap, grGapCount };

inline constexpr std::size_t RuleCount = drNoBouncesTo + 1;  // TDecidingRule
inline constexpr std::size_t RecordCount = rrUnavailable + 1;  // TRecordResult
inline constexpr std::size_t LookupCount = leSlow - leFound + 1;  // leFound to leSlow
// The check time's histogram: the upper bounds of its buckets, in seconds.
inline constexpr double CheckTimeBounds[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                             0.1,    0.25,  0.5,    1,     2.5,  5,     10};
inline constexpr std::size_t CheckTimeBucketCount = std::size(CheckTimeBounds) + 1;  // and +Inf

std::string_view VerdictLabelName(TVerdictLabel ALabel);
std::string_view ActionLabelName(TActionLabel ALabel);
std::string_view ErrorClassName(TErrorClass AClass);
std::string_view GapReasonName(TGapReason AReason);
std::string_view RecordResultName(TRecordResult AResult);
std::string_view LookupResultName(TLedgerEvidence AEvidence);  // leFound to leSlow

// A reading of every count at one moment; two readings subtract.
struct TMetricsReading {
  std::array<std::uint64_t, 2> Messages{};  // [0] not a bounce, [1] a bounce
  std::array<std::array<std::array<std::uint64_t, alActionCount>, RuleCount>, vlVerdictCount> Verdicts{};
  std::array<std::uint64_t, ecErrorCount> Errors{};
  std::array<std::uint64_t, RecordCount> Records{};
  std::array<std::uint64_t, LookupCount> Lookups{};
  std::uint64_t Outages = 0;
  std::array<std::uint64_t, grGapCount> Gaps{};
  std::array<std::uint64_t, CheckTimeBucketCount> CheckTimes{};  // per bucket, not cumulative
  std::uint64_t CheckMicroseconds = 0;

  TMetricsReading operator-(const TMetricsReading &AEarlier) const;
};

class TMilterMetrics {
public:
  void Message(bool ABounce) noexcept { Add(FMessages[ABounce ? 1 : 0]); }
  void Verdict(TVerdictLabel AVerdict, TDecidingRule ARule, TActionLabel AAction) noexcept {
    Add(FVerdicts[AVerdict][ARule][AAction]);
  }
  void Error(TErrorClass AClass) noexcept { Add(FErrors[AClass]); }
  // A record's result, and whether it shows the ledger answering.
  void Record(TRecordResult AResult) noexcept;
  // A lookup's answer (leNotAsked counts nothing).
  void Lookup(TLedgerEvidence AAnswer) noexcept;
  void Gap(TGapReason AReason) noexcept { Add(FGaps[AReason]); }
  void CheckTime(std::chrono::microseconds ATime) noexcept;

  TMetricsReading Read() const noexcept;

private:
  static void Add(std::atomic<std::uint64_t> &ACount) noexcept { ACount.fetch_add(1, std::memory_order_relaxed); }
  // An outage begins when the ledger stops answering after it answered.
  void Answered(bool AAnswered) noexcept;

  std::array<std::atomic<std::uint64_t>, 2> FMessages{};
  std::array<std::array<std::array<std::atomic<std::uint64_t>, alActionCount>, RuleCount>, vlVerdictCount> FVerdicts{};
  std::array<std::atomic<std::uint64_t>, ecErrorCount> FErrors{};
  std::array<std::atomic<std::uint64_t>, RecordCount> FRecords{};
  std::array<std::atomic<std::uint64_t>, LookupCount> FLookups{};
  std::atomic<std::uint64_t> FOutages{0};
  std::atomic<bool> FLedgerDown{false};
  std::array<std::atomic<std::uint64_t>, grGapCount> FGaps{};
  std::array<std::atomic<std::uint64_t>, CheckTimeBucketCount> FCheckTimes{};
  std::atomic<std::uint64_t> FCheckMicroseconds{0};
};

// The label of the action a session's line names ("reject", "accept (log
// only, would reject)", "tempfail", "tag failed, accepted, removed 1 of 1
// X-Bouncewarden"): what the MTA was told.
TActionLabel ActionLabelOf(std::string_view AActionTaken);

// The hourly line (and the stop's): what ADelta counted, by verdict, rule
// and action, and the errors, e.g. "summary of the last 3600 s: messages=120
// (bounces=12), verdicts: backscatter=3 not-backscatter=9, rules: pattern=11
// ledger=1, actions: reject=3 accept=9, errors: none".
std::string SummaryText(const TMetricsReading &ADelta, std::chrono::seconds ASpan);

} // namespace bw
