// The ledger's answers about sent and returned Message-IDs, and what it
// knows of its own completeness.
#include "verdict/LedgerJudge_un.h"

#include <algorithm>

namespace bw {

// How long what the store knows of the whole ledger is used before it is
// read again: a gap another host wrote is known this soon.
static constexpr std::chrono::seconds FactsMaxAge{5};
// A returned copy's Date counts as inside a gap from this long before it
// (mail waits in outboxes and queues before it reaches a recorder) to this
// long after it (the sender's clock may run ahead).
static constexpr std::chrono::hours DateBeforeGap{24};
static constexpr std::chrono::hours DateAfterGap{1};

std::optional<TLedgerTime> CompleteSince(ILedgerStore &AStore) {
  // The administrator's statement counts over the first record: an import
  // may reach back before it, and a first record proves nothing about the
  // other paths of mail.
  if (const std::optional<TLedgerTime> Cover = AStore.CoverSince())
    return Cover;
  return AStore.StartTime();
}

// When a ledger complete since ASince, whose store last lost records at
// ALost, covers ARetention.
static std::optional<TLedgerTime> CoveredFrom(std::optional<TLedgerTime> ASince, std::optional<TLedgerTime> ALost,
                                              std::chrono::seconds ARetention) {
  if (!ASince)
    return std::nullopt;
  // A bounce of a message whose record was lost may come back for a whole
  // retention after the loss: until then a missing ID proves nothing.
  return std::max(*ASince, ALost.value_or(*ASince)) + ARetention;
}

std::optional<TLedgerTime> CoveredFrom(ILedgerStore &AStore, std::chrono::seconds ARetention) {
  return CoveredFrom(CompleteSince(AStore), AStore.LastLostRecords(), ARetention);
}

std::optional<std::vector<TLedgerGap>> GapsWithin(ILedgerStore &AStore, std::chrono::seconds ARetention,
                                                  TLedgerTime ANow) {
  std::optional<std::vector<TLedgerGap>> Gaps = AStore.Gaps(RetentionCutoff(ANow, ARetention));
  const std::optional<std::vector<TLedgerHeartbeat>> Marks = AStore.Heartbeats();
  if (!Gaps || !Marks)
    return std::nullopt;
  for (const TLedgerHeartbeat &Mark : *Marks)
    if (ANow - Mark.Last > HeartbeatStale)
      Gaps->push_back({Mark.Recorder, Mark.Last, ANow, "no mark since " + LedgerTimeText(Mark.Last)});
  return Gaps;
}

TLedgerJudge::TLedgerJudge(std::unique_ptr<ILedgerStore> AStore, TLedgerHasher AHasher,
                           TLedgerJudgeSettings ASettings)
    : FStore(std::move(AStore)), FHasher(std::move(AHasher)), FSettings(std::move(ASettings)),
      FFingerprint(FHasher.Fingerprint()) {}

TLookupAnswer TLedgerJudge::Ask(std::span<const std::string> AIdTexts) {
  if (FOtherKey)
    return {lrUnknown, false};
  std::vector<TLedgerKey> Keys;
  Keys.reserve(AIdTexts.size() * (FSettings.PreviousHasher ? 2 : 1));
  for (const std::string &Text : AIdTexts) {
    Keys.push_back(FHasher.KeyOf(Text));
    if (FSettings.PreviousHasher)
      Keys.push_back(FSettings.PreviousHasher->KeyOf(Text));
  }
  const auto Start = std::chrono::steady_clock::now();
  const TLookupResult Result = FStore->ContainsAny(Keys);
  const bool Slow = Result == lrUnknown && FSettings.Timeout.count() > 0 &&
                    std::chrono::steady_clock::now() - Start >= FSettings.Timeout;
  return {Result, Slow};
}

TLookupResult TLedgerJudge::LookUpText(std::string_view AIdText) {
  const std::string Text(AIdText);
  return LookUp(std::span<const std::string>(&Text, 1));
}

TRecordResult TLedgerJudge::Record(std::string_view AIdText, TLedgerTime ATime) {
  return FStore->Record(FHasher.KeyOf(AIdText), ATime);
}

TRecordResult TLedgerJudge::RecordDurably(std::string_view AIdText, TLedgerTime ATime) {
  return FStore->RecordDurably(FHasher.KeyOf(AIdText), ATime);
}

TRecordResult TLedgerJudge::RecordWaiting(std::string_view AIdText, TLedgerTime ATime) {
  return FStore->RecordWaiting(FHasher.KeyOf(AIdText), ATime);
}

TLedgerJudge::TFacts TLedgerJudge::Facts() {
  const std::lock_guard Lock(FFactsLock);
  const auto Now = std::chrono::steady_clock::now();
  if (!FFacts || Now - FFacts->ReadAt >= FactsMaxAge)
    FFacts = TFacts{CompleteSince(*FStore), GapsWithin(*FStore, FSettings.Retention, LedgerNow()), Now};
  return *FFacts;
}

bool TLedgerJudge::CoversRetention() {
  // This process's own losses count at once: they cost no round trip.
  const std::optional<TLedgerTime> From =
      bw::CoveredFrom(Facts().CompleteSince, FStore->LastLostRecords(), FSettings.Retention);
  return From && *From <= LedgerNow();
}

TGapPlacement TLedgerJudge::PlaceInGaps(std::optional<TLedgerTime> ADate) {
  const std::optional<std::vector<TLedgerGap>> Gaps = Facts().Gaps;
  if (!Gaps)
    return ADate ? gpInside : gpUndated;
  if (Gaps->empty())
    return gpNone;
  if (!ADate)
    return gpUndated;
  const bool Inside = std::any_of(Gaps->begin(), Gaps->end(), [&](const TLedgerGap &AGap) {
    return *ADate >= AGap.From - DateBeforeGap && *ADate <= AGap.To + DateAfterGap;
  });
  return Inside ? gpInside : gpNone;
}

TKeyCheck TLedgerJudge::CheckKey(bool AMayWrite) {
  const std::optional<std::string> Stored = FStore->Fingerprint();
  if (Stored) {
    const bool Same = *Stored == FFingerprint ||
                      (FSettings.PreviousHasher && *Stored == FSettings.PreviousHasher->Fingerprint());
    FOtherKey = !Same;
    return Same ? kcSame : kcOther;
  }
  if (!AMayWrite)
    return kcNone;
  switch (FStore->SetFingerprint(FFingerprint)) {
  case rrAccepted:
    // Another opener may have written its own in the meantime.
    return FStore->Fingerprint() == FFingerprint ? kcWritten : CheckKey(/*AMayWrite=*/false);
  case rrExpired:
  case rrFull:
  case rrUnavailable:
    break;
  }
  return kcUnknown;
}

TRecordResult TLedgerJudge::MarkRecording(TLedgerTime ANow) {
  const std::lock_guard Lock(FMarkLock);
  if (!FMarkedOnce) {
    // Mail passed unrecorded between the last mark and now: the MTA goes on
    // without a milter that is stopped (Postfix's milter_default_action).
    const std::optional<TLedgerTime> Last = FStore->LastHeartbeat(FSettings.Recorder);
    if (Last) {
      const TRecordResult Gap = FStore->RecordGap({FSettings.Recorder, *Last, ANow, "not recording (stopped)"});
      if (Gap != rrAccepted)
        return Gap;
    }
  }
  const TRecordResult Result = FStore->Heartbeat(FSettings.Recorder, ANow);
  FMarkedOnce = FMarkedOnce || Result == rrAccepted;
  return Result;
}

TRecordResult TLedgerJudge::RecordGap(TLedgerTime AFrom, TLedgerTime ATo, std::string AReason) {
  return FStore->RecordGap({FSettings.Recorder, AFrom, ATo, std::move(AReason)});
}

} // namespace bw
