// The ledger as a judge of bounces: one store and the site's keyed hash,
// written with the IDs of the mail the site sends and asked about the IDs
// a bounce returns. The milter and bouncewarden-ledger both go through it,
// so that the tool answers exactly what the milter would.
//
// Besides the entries, the judge reads what the store knows of the whole
// ledger (since when its recording is complete, and the gaps in which a
// recorder may have missed mail) and keeps this process's own marks as a
// recorder.
#pragma once

#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerStore_un.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// How often a recorder marks that it records, and how long after its last
// mark every host counts it as not recording (an open gap): a few missed
// marks, so that one slow write is no gap. A host whose link to the store
// is cut cannot say so; the others know within HeartbeatStale.
inline constexpr std::chrono::seconds HeartbeatInterval{15};
inline constexpr std::chrono::seconds HeartbeatStale = 4 * HeartbeatInterval;

// Since when the ledger holds every message sent (the administrator's
// cover date, else the start time set by the first record), nothing while
// the store cannot say.
std::optional<TLedgerTime> CompleteSince(ILedgerStore &AStore);
// When AStore covers ARetention: a retention after CompleteSince, or after
// the last time this process's records may have been lost, whichever is
// later; nothing while the store cannot say.
std::optional<TLedgerTime> CoveredFrom(ILedgerStore &AStore, std::chrono::seconds ARetention);
// The gaps that reach into the retention at ANow: those the store keeps,
// and an open one (up to ANow) for each recorder whose last mark is older
// than HeartbeatStale. Nothing while the store cannot say.
std::optional<std::vector<TLedgerGap>> GapsWithin(ILedgerStore &AStore, std::chrono::seconds ARetention,
                                                  TLedgerTime ANow);

// Whether a recorder may have missed the message a bounce returns:
//   gpNone     no gap reaches into the retention, or the returned copy's
//              Date lies outside every one;
//   gpInside   its Date lies in a gap;
//   gpUndated  it has no readable Date while a gap reaches into the
//              retention.
enum TGapPlacement : std::uint8_t { gpNone, gpInside, gpUndated };

// Whether the ledger's entries were keyed with this key (its fingerprint).
enum TKeyCheck : std::uint8_t {
  kcSame,      // the ledger's fingerprint is this key's (or, while rotating, the previous key's)
  kcWritten,   // the ledger had none: this key's is now written
  kcNone,      // it has none, and it was not to be written
  kcOther,     // another key's: every lookup would miss
  kcUnknown,   // the store cannot say now
};

// What a lookup of one check gave, and whether "unknown" came from the
// check's bound running out rather than from a store that is down.
struct TLookupAnswer {
  TLookupResult Result = lrAbsent;
  bool Slow = false;
};

// What a judge is opened with besides its store and key.
struct TLedgerJudgeSettings {
  std::chrono::seconds Retention{0};
  // Lookups also under this key (--ledger-previous-key-file), for one
  // retention after a key rotation.
  std::optional<TLedgerHasher> PreviousHasher;
  std::string Recorder;  // this process's name among the recorders
  // A lookup that answers "unknown" after this long ran out of its bound
  // (0: never said to be slow).
  std::chrono::milliseconds Timeout{0};
};

class TLedgerJudge {
public:
  TLedgerJudge(std::unique_ptr<ILedgerStore> AStore, TLedgerHasher AHasher, TLedgerJudgeSettings ASettings);
  TLedgerJudge(std::unique_ptr<ILedgerStore> AStore, TLedgerHasher AHasher, std::chrono::seconds ARetention)
      : TLedgerJudge(std::move(AStore), std::move(AHasher), TLedgerJudgeSettings{ARetention, {}, {}, {}}) {}
  TLedgerJudge(const TLedgerJudge &) = delete;
  TLedgerJudge &operator=(const TLedgerJudge &) = delete;

  // Whether any of the returned IDs' texts (ReturnedMessageIdTexts) was
  // recorded, under this key or the previous one: one lookup of them all
  // (ILedgerStore::ContainsAny), within the store's one bound. lrUnknown
  // too once the ledger was found to be keyed with another key.
  TLookupAnswer Ask(std::span<const std::string> AIdTexts);
  TLookupResult LookUp(std::span<const std::string> AIdTexts) { return Ask(AIdTexts).Result; }
  // One ID's text, as SentMessageIdText or ReturnedMessageIdText give it.
  TLookupResult LookUpText(std::string_view AIdText);
  // Records the ID's text (SentMessageIdText) as sent at ATime: queued;
  // committed before returning (Durably); waiting for room instead of
  // refusing when the writer is behind (Waiting, for an import).
  TRecordResult Record(std::string_view AIdText, TLedgerTime ATime);
  TRecordResult Record(std::string_view AIdText) { return Record(AIdText, LedgerNow()); }
  TRecordResult RecordDurably(std::string_view AIdText, TLedgerTime ATime);
  TRecordResult RecordWaiting(std::string_view AIdText, TLedgerTime ATime);

  // True once the ledger holds a whole retention of sent mail (see
  // CoveredFrom), so that an ID missing from it was not sent within the
  // retention, unless a gap says otherwise; false while the store cannot
  // say.
  bool CoversRetention();
  // When CoversRetention turns true; nothing while the store cannot say.
  std::optional<TLedgerTime> CoveredFrom() { return bw::CoveredFrom(*FStore, FSettings.Retention); }
  // Whether a returned copy written at ADate (none: no readable Date) may
  // be mail that a recorder missed: inside a gap (from a day before it,
  // since mail may wait in an outbox, to an hour after it, for clocks), or
  // undated while any gap reaches into the retention. A store that cannot
  // say counts as a gap. What the store knows is read at most every few
  // seconds, so that a stream of bounces costs no round trips for it.
  TGapPlacement PlaceInGaps(std::optional<TLedgerTime> ADate);

  // Compares the ledger's key fingerprint with this key's (and the previous
  // key's); writes this key's into a ledger that has none when AMayWrite.
  // After kcOther, Ask answers lrUnknown: the ledger cannot be read with
  // this key.
  TKeyCheck CheckKey(bool AMayWrite);
  const std::string &KeyFingerprint() const noexcept { return FFingerprint; }

  // This process's mark as a recorder. The first that the store takes also
  // records the time since the last mark before it (the process was stopped,
  // or crashed, and mail passed unrecorded) as a gap.
  TRecordResult MarkRecording(TLedgerTime ANow);
  // A span in which this process did not record what it should have.
  TRecordResult RecordGap(TLedgerTime AFrom, TLedgerTime ATo, std::string AReason);

  std::chrono::seconds Retention() const noexcept { return FSettings.Retention; }
  const std::string &Recorder() const noexcept { return FSettings.Recorder; }
  ILedgerStore &Store() noexcept { return *FStore; }

private:
  struct TFacts {
    std::optional<TLedgerTime> CompleteSince;
    std::optional<std::vector<TLedgerGap>> Gaps;
    std::chrono::steady_clock::time_point ReadAt;
  };
  // What the store knows of the whole ledger, read again once it is older
  // than a few seconds.
  TFacts Facts();

  std::unique_ptr<ILedgerStore> FStore;
  const TLedgerHasher FHasher;
  const TLedgerJudgeSettings FSettings;
  const std::string FFingerprint;
  std::mutex FFactsLock;  // held while the facts are read: one reader, the others wait for it
  std::optional<TFacts> FFacts;
  std::mutex FMarkLock;
  bool FMarkedOnce = false;  // under FMarkLock
  std::atomic<bool> FOtherKey{false};
};

} // namespace bw
