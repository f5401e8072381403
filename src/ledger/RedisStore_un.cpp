// The Redis store over hiredis: a pool of connections (RedisLink_un.h), each
// call bounded by the timeout as a whole, and a failure remembered so that
// a Redis that is down or slow costs one attempt per retry delay, not one
// per message. Lookups and records are remembered apart: a slow lookup
// loses no record, so it does not hold records back.
#include "ledger/RedisStore_un.h"

#include "ledger/LedgerGaps_un.h"
#include "ledger/LedgerOutage_un.h"
#include "ledger/RedisLink_un.h"
#include "rtl/Clock_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <mutex>
#include <vector>

namespace bw {

namespace {

constexpr std::string_view KeyPrefix = "bwl:";
constexpr std::string_view KeyPattern = "bwl:*";
constexpr std::string_view StartKey = "bwl-start";
constexpr std::string_view CoverKey = "bwl-cover";
constexpr std::string_view FingerprintKey = "bwl-fingerprint";
constexpr std::string_view BeatsKey = "bwl-beats";
constexpr std::string_view GapsKey = "bwl-gaps";
constexpr std::size_t MaxIdleConnections = 64;
constexpr std::chrono::seconds StartTimeRefresh{60};
constexpr int GapWriteAttempts = 5;

// Records one entry as the stores agree: the newer of two times wins, and
// its time to live is set with it. The first record starts the ledger's
// clock, and puts back the key's fingerprint that this process saw (when a
// Redis lost its data, the first record after starts it again).
// KEYS: entry, start, fingerprint; ARGV: time, seconds to live, now,
// fingerprint or "".
constexpr const char *RecordScript = R"(redis.call('SET', KEYS[2], ARGV[3], 'NX')
if ARGV[4] ~= '' then redis.call('SET', KEYS[3], ARGV[4], 'NX') end
local Old = tonumber(redis.call('GET', KEYS[1]))
if Old and Old >= tonumber(ARGV[1]) then return 0 end
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
return 1)";

std::string ScriptSha(const char *AScript) {
  gchar *Sha = g_compute_checksum_for_string(G_CHECKSUM_SHA1, AScript, -1);
  std::string Result(Sha);
  g_free(Sha);
  return Result;
}

std::string KeyText(const TLedgerKey &AKey) { return std::string(KeyPrefix) + HexText(AKey); }

// The seconds since the epoch that a time value holds: the ledger writes
// them as decimal text, and never a time before 1970.
std::optional<std::int64_t> SecondsOf(const redisReply &AReply) {
  if (AReply.type == REDIS_REPLY_INTEGER)
    return AReply.integer;
  if (AReply.type != REDIS_REPLY_STRING)
    return std::nullopt;
  return ParseDecimal<std::int64_t>(ReplyText(AReply), 0, std::numeric_limits<std::int64_t>::max());
}

std::optional<TLedgerTime> TimeOf(const redisReply &AReply) {
  const std::optional<std::int64_t> Seconds = SecondsOf(AReply);
  return Seconds ? std::optional(TLedgerTime(std::chrono::seconds(*Seconds))) : std::nullopt;
}

std::string SecondsText(TLedgerTime ATime) { return std::to_string(ATime.time_since_epoch().count()); }

// A number from INFO's "NAME:VALUE" lines; 0 when it is not there.
std::uint64_t InfoNumber(std::string_view AInfo, std::string_view AName) {
  const std::string Wanted = "\n" + std::string(AName) + ":";
  const std::size_t At = ("\n" + std::string(AInfo)).find(Wanted);
  if (At == std::string::npos)
    return 0;
  const std::string_view Rest = AInfo.substr(At + Wanted.size() - 1);
  return ParseDecimal<std::uint64_t>(Rest.substr(0, Rest.find_first_of("\r\n")), 0,
                                     std::numeric_limits<std::uint64_t>::max())
      .value_or(0);
}

// Every "dbN:keys=K,..." line's K, added up.
std::uint64_t InfoKeys(std::string_view AInfo) {
  std::uint64_t Keys = 0;
  for (std::size_t At = AInfo.find(":keys="); At != std::string_view::npos; At = AInfo.find(":keys=", At + 1)) {
    const std::string_view Rest = AInfo.substr(At + 6);
    Keys += ParseDecimal<std::uint64_t>(Rest.substr(0, Rest.find_first_not_of("0123456789")), 0,
                                        std::numeric_limits<std::uint64_t>::max())
                .value_or(0);
  }
  return Keys;
}

class TRedisStore final : public ILedgerStore {
public:
  TRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation, TLedgerLog ALog);

  TLookupResult ContainsAny(std::span<const TLedgerKey> AKeys) override;
  TRecordResult Record(const TLedgerKey &AKey, TLedgerTime ATime) override;
  // Redis's reply to a write is its commit (behind sentinels, once a
  // replica has it too).
  TRecordResult RecordDurably(const TLedgerKey &AKey, TLedgerTime ATime) override { return Record(AKey, ATime); }
  TRecordResult RecordWaiting(const TLedgerKey &AKey, TLedgerTime ATime) override { return Record(AKey, ATime); }
  TRecordResult Flush() override;
  TSweepResult Sweep(std::size_t) override { return {0, 0, true}; }  // the keys expire by themselves
  TLedgerStats Stats() override;
  std::optional<TLedgerTime> StartTime() override;
  std::optional<TLedgerTime> CoverSince() override;
  TRecordResult SetCoverSince(TLedgerTime ASince) override;
  std::optional<std::string> Fingerprint() override;
  TRecordResult SetFingerprint(std::string_view AFingerprint) override;
  TRecordResult Heartbeat(std::string_view ARecorder, TLedgerTime ANow) override;
  std::optional<TLedgerTime> LastHeartbeat(std::string_view ARecorder) override;
  std::optional<std::vector<TLedgerHeartbeat>> Heartbeats() override;
  TRecordResult RetireRecorder(std::string_view ARecorder) override;
  TRecordResult RecordGap(const TLedgerGap &AGap) override;
  std::optional<std::vector<TLedgerGap>> Gaps(TLedgerTime ASince) override;
  std::optional<TLedgerTime> LastLostRecords() const override { return FWrites.LastDown(); }

private:
  // Lookups and records are let through or held back apart.
  enum TGate : std::uint8_t { gRead, gWrite };
  static constexpr std::uint8_t NoLoss = 0xFF;

  TDeadline Deadline() const { return std::chrono::steady_clock::now() + FOptions.Timeout; }
  std::string Why(const ERedisError &AError) const;
  std::optional<std::string> PolicyRefusal(const TRedisLink &ALink);
  std::unique_ptr<TRedisLink> Acquire(TGate AGate, TDeadline ADeadline, std::string &AError, bool &APooled);
  void Release(std::unique_ptr<TRedisLink> ALink);
  void DropIdle();
  void Close(TGate AGate, const std::string &AReason);
  // Runs AAction(Link, Deadline) on a connection within ADeadline. False,
  // with the reason in AError, when the store is held back or the action
  // failed; the connection is then dropped and the gate closed for the
  // retry delay. A pooled connection that failed (the server closed it),
  // and behind sentinels any (the master moved), is tried once more on a
  // fresh one while the deadline allows.
  template <class TAction> bool Run(TGate AGate, TAction &&AAction, std::string &AError, TDeadline ADeadline);
  template <class TAction> bool Run(TGate AGate, TAction &&AAction) {
    std::string Ignored;
    return Run(AGate, std::forward<TAction>(AAction), Ignored, Deadline());
  }
  // One command's reply, error replies included; nothing when it could not
  // be asked.
  TRedisReplyPtr Ask(TGate AGate, const TRedisCommand &ACommand);
  TRecordResult Written(const TRedisReplyPtr &AReply);
  TRecordResult WriteEntry(const TLedgerKey &AKey, TLedgerTime ATime, std::string &AError);
  void WriteEndedLosses();
  // Compares the start time and fingerprint a reply holds with what this
  // process saw before: the reason when the ledger's data is gone.
  std::optional<std::string> NoticeFacts(const redisReply &AStart, const redisReply &AFingerprint);
  std::string SeenFingerprint();
  // Reads the start time and fingerprint (NoticeFacts); the fingerprint.
  std::optional<std::string> ReadFacts();

  const TLedgerOptions FOptions;
  const TLedgerLocation FLocation;
  const TLedgerLog FLog;
  const std::string FRecorder;
  const TRedisCredentials FCredentials;
  const std::string FScriptSha;
  TOutageLog FOutage;    // reaching the server
  TOutageLog FWrites;    // records lost: the gaps of this process
  TOutageLog FDataLoss;  // the ledger's data vanished
  std::atomic<bool> FWarnedConfig{false};
  std::atomic<std::uint8_t> FLost{NoLoss};  // since the last Flush

  std::mutex FPoolLock;
  std::vector<std::unique_ptr<TRedisLink>> FIdle;
  // Steady-clock nanoseconds of the next attempt after a failure; 0 while open.
  std::array<std::atomic<std::int64_t>, 2> FRetryAt{};

  std::mutex FFactsLock;
  std::optional<TLedgerTime> FStart;
  std::chrono::steady_clock::time_point FStartReadAt;
  bool FSawStart = false;
  std::optional<std::string> FSawFingerprint;
};

TRedisStore::TRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation, TLedgerLog ALog)
    : FOptions(AOptions), FLocation(ALocation), FLog(ALog), FRecorder(LedgerRecorderName(AOptions)),
      FCredentials(ReadRedisCredentials(AOptions.PasswordFile, ALocation.User)), FScriptSha(ScriptSha(RecordScript)),
      FOutage(ALog, "ledger " + AOptions.Uri + " cannot be reached, bounces are checked without it",
              "ledger " + AOptions.Uri + " can be reached again"),
      FWrites(ALog, "ledger " + AOptions.Uri + " cannot record, IDs of sent mail are not recorded",
              "ledger " + AOptions.Uri + " records again"),
      FDataLoss(ALog, "ledger " + AOptions.Uri + " lost its data, bounces are checked without it until a record",
                "ledger " + AOptions.Uri + " holds a ledger again") {
  try {
    auto Link = std::make_unique<TRedisLink>(FLocation, FCredentials, Deadline());
    if (const std::optional<std::string> Refusal = PolicyRefusal(*Link))
      throw ELedgerError("Cannot use the ledger \"" + FOptions.Uri + "\": " + *Refusal);
    const TRedisReplyPtr Facts = Link->Exchange({"MGET", StartKey, FingerprintKey}, Deadline());
    if (Facts->type != REDIS_REPLY_ARRAY || Facts->elements != 2)
      throw ERedisError("unexpected reply to MGET: " + std::string(ReplyText(*Facts)));
    if (FOptions.Opening == loExisting && Facts->element[0]->type == REDIS_REPLY_NIL &&
        Facts->element[1]->type == REDIS_REPLY_NIL)
      throw ELedgerError("The ledger \"" + FOptions.Uri + "\" does not exist");
    NoticeFacts(*Facts->element[0], *Facts->element[1]);
    Release(std::move(Link));
  } catch (const ERedisError &E) {
    if (FOptions.Opening != loTolerate)
      throw ELedgerError("Cannot reach the ledger \"" + FOptions.Uri + "\": " + Why(E));
    Close(gRead, Why(E));
    Close(gWrite, Why(E));
  }
}

std::string TRedisStore::Why(const ERedisError &AError) const {
  return AError.TimedOut() ? "no answer within " + std::to_string(FOptions.Timeout.count()) + " ms" : AError.Message();
}

std::optional<std::string> TRedisStore::PolicyRefusal(const TRedisLink &ALink) {
  const std::optional<std::string> &Policy = ALink.EvictionPolicy();
  if (!Policy) {
    if (!FWarnedConfig.exchange(true) && FLog)
      FLog("ledger " + FOptions.Uri + ": cannot read Redis's maxmemory-policy (" + ALink.ConfigRefusal() +
           "); unless it is noeviction, Redis may drop entries when full");
    return std::nullopt;
  }
  if (*Policy == "noeviction")
    return std::nullopt;
  return "Redis at " + ALink.Address() + " drops keys when full (maxmemory-policy " + *Policy +
         "), which would lose entries silently; set maxmemory-policy to noeviction";
}

std::unique_ptr<TRedisLink> TRedisStore::Acquire(TGate AGate, TDeadline ADeadline, std::string &AError,
                                                 bool &APooled) {
  {
    const std::lock_guard<std::mutex> Lock(FPoolLock);
    if (!FIdle.empty()) {
      std::unique_ptr<TRedisLink> Link = std::move(FIdle.back());
      FIdle.pop_back();
      APooled = true;
      return Link;
    }
  }
  APooled = false;
  std::int64_t RetryAt = FRetryAt[AGate].load(std::memory_order_acquire);
  if (RetryAt != 0) {
    // Held back: one caller claims the next attempt; the others answer at once.
    const std::int64_t Now = SteadyNanoseconds();
    const std::int64_t Later = Now + std::chrono::nanoseconds(FOptions.RetryDelay).count();
    if (Now < RetryAt || !FRetryAt[AGate].compare_exchange_strong(RetryAt, Later)) {
      AError = "it failed a moment ago";
      return nullptr;
    }
  }
  try {
    auto Link = std::make_unique<TRedisLink>(FLocation, FCredentials, ADeadline);
    if (const std::optional<std::string> Refusal = PolicyRefusal(*Link))
      throw ERedisError(*Refusal);
    return Link;
  } catch (const ERedisError &E) {
    // A server that cannot be reached takes neither lookups nor records.
    AError = Why(E);
    Close(gRead, AError);
    Close(gWrite, AError);
    return nullptr;
  }
}

void TRedisStore::Release(std::unique_ptr<TRedisLink> ALink) {
  const std::lock_guard<std::mutex> Lock(FPoolLock);
  if (FIdle.size() < MaxIdleConnections)
    FIdle.push_back(std::move(ALink));
}

void TRedisStore::DropIdle() {
  // The idle connections went to the same server: they are as suspect as this one.
  std::vector<std::unique_ptr<TRedisLink>> Stale;
  const std::lock_guard<std::mutex> Lock(FPoolLock);
  Stale.swap(FIdle);
}

void TRedisStore::Close(TGate AGate, const std::string &AReason) {
  FRetryAt[AGate].store(SteadyNanoseconds() + std::chrono::nanoseconds(FOptions.RetryDelay).count(),
                        std::memory_order_release);
  DropIdle();
  FOutage.Failed(AReason);
}

template <class TAction>
bool TRedisStore::Run(TGate AGate, TAction &&AAction, std::string &AError, TDeadline ADeadline) {
  for (int Attempt = 0;; ++Attempt) {
    bool Pooled = false;
    std::unique_ptr<TRedisLink> Link = Acquire(AGate, ADeadline, AError, Pooled);
    if (!Link)
      return false;
    try {
      AAction(*Link, ADeadline);
    } catch (const ERedisError &E) {
      // A connection that failed once may hold half a reply: never reuse it.
      AError = Why(E);
      const bool Again = Attempt == 0 && !E.TimedOut() && (Pooled || FLocation.Kind == lkRedisSentinel) &&
                         std::chrono::steady_clock::now() < ADeadline;
      DropIdle();
      if (Again)
        continue;
      Close(AGate, AError);
      return false;
    }
    if (FRetryAt[AGate].load(std::memory_order_relaxed) != 0)  // a store on every call would bounce the line between cores
      FRetryAt[AGate].store(0, std::memory_order_release);
    FOutage.Succeeded();
    Release(std::move(Link));
    return true;
  }
}

TRedisReplyPtr TRedisStore::Ask(TGate AGate, const TRedisCommand &ACommand) {
  TRedisReplyPtr Reply;
  Run(AGate, [&](TRedisLink &ALink, TDeadline ADeadline) { Reply = ALink.Exchange(ACommand, ADeadline); });
  return Reply;
}

std::optional<std::string> TRedisStore::NoticeFacts(const redisReply &AStart, const redisReply &AFingerprint) {
  const std::optional<TLedgerTime> Start = TimeOf(AStart);
  const bool HasFingerprint = AFingerprint.type == REDIS_REPLY_STRING;
  std::optional<std::string> Lost;
  {
    const std::lock_guard<std::mutex> Lock(FFactsLock);
    if (Start) {
      FSawStart = true;
      FStart = Start;
      FStartReadAt = std::chrono::steady_clock::now();
    } else if (FSawStart) {
      Lost = "its start time \"" + std::string(StartKey) + "\" vanished";
      FStart.reset();
    }
    if (HasFingerprint && !FSawFingerprint)
      FSawFingerprint = std::string(ReplyText(AFingerprint));
    else if (HasFingerprint && *FSawFingerprint != ReplyText(AFingerprint))
      Lost = "its key fingerprint changed from " + *FSawFingerprint + " to " + std::string(ReplyText(AFingerprint));
    else if (!HasFingerprint && FSawFingerprint)
      Lost = Lost.value_or("its key fingerprint \"" + std::string(FingerprintKey) + "\" vanished");
  }
  if (Lost)
    FDataLoss.Failed(*Lost + " (a FLUSHALL, or a restart without persistence?)");
  else
    FDataLoss.Succeeded();
  return Lost;
}

std::string TRedisStore::SeenFingerprint() {
  const std::lock_guard<std::mutex> Lock(FFactsLock);
  return FSawFingerprint.value_or("");
}

TLookupResult TRedisStore::ContainsAny(std::span<const TLedgerKey> AKeys) {
  if (AKeys.empty())
    return lrAbsent;
  std::vector<std::string> Names;
  Names.reserve(AKeys.size());
  TRedisCommand Mget{"MGET", StartKey, FingerprintKey};
  for (const TLedgerKey &Key : AKeys)
    Mget.push_back(Names.emplace_back(KeyText(Key)));
  TLookupResult Result = lrAbsent;
  bool Lost = false;
  std::string Error;
  const bool Answered = Run(
      gRead,
      [&](TRedisLink &ALink, TDeadline ADeadline) {
        const TRedisReplyPtr Reply = ALink.Exchange(Mget, ADeadline);
        if (Reply->type != REDIS_REPLY_ARRAY || Reply->elements != Mget.size() - 1)
          throw ERedisError("unexpected reply to MGET: " + std::string(ReplyText(*Reply)));
        Lost = NoticeFacts(*Reply->element[0], *Reply->element[1]).has_value();
        // The stored time decides, against this host's retention.
        const TLedgerTime Cutoff = RetentionCutoff(LedgerNow(), FOptions.Retention);
        for (std::size_t I = 2; I < Reply->elements && Result != lrFound; ++I)
          if (const std::optional<TLedgerTime> Time = TimeOf(*Reply->element[I]); Time && *Time >= Cutoff)
            Result = lrFound;
      },
      Error, Deadline());
  if (!Answered || Lost)
    return lrUnknown;
  return Result;
}

TRecordResult TRedisStore::Written(const TRedisReplyPtr &AReply) {
  if (!AReply)
    return rrUnavailable;
  if (AReply->type != REDIS_REPLY_ERROR)
    return rrAccepted;
  return ReplyText(*AReply).find("OOM") != std::string_view::npos ? rrFull : rrUnavailable;
}

TRecordResult TRedisStore::WriteEntry(const TLedgerKey &AKey, TLedgerTime ATime, std::string &AError) {
  const TLedgerTime Now = LedgerNow();
  // The rest of the retention, at least a second: the value and its expiry
  // go in one command, so no key ever lives without one.
  const std::string Ttl = std::to_string(std::max<std::int64_t>(1, (ATime + FOptions.Retention - Now).count()));
  const std::string Key = KeyText(AKey);
  const std::string Value = SecondsText(ATime);
  const std::string NowText = SecondsText(Now);
  const std::string Fingerprint = SeenFingerprint();
  TRecordResult Result = rrUnavailable;
  const bool Ran = Run(
      gWrite,
      [&](TRedisLink &ALink, TDeadline ADeadline) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - std::chrono::steady_clock::now());
        const std::string WaitMs = std::to_string(std::max<std::int64_t>(1, Left.count()));
        std::vector<TRedisCommand> Commands{
            {"EVALSHA", FScriptSha, "3", Key, StartKey, FingerprintKey, Value, Ttl, NowText, Fingerprint}};
        if (ALink.WaitsForReplica())
          Commands.push_back({"WAIT", "1", WaitMs});
        std::vector<TRedisReplyPtr> Replies = ALink.Exchange(Commands, ADeadline);
        if (IsErrorReply(*Replies[0], "NOSCRIPT")) {  // a restarted or new master: send the script itself
          Commands[0] = {"EVAL", RecordScript, "3", Key, StartKey, FingerprintKey, Value, Ttl, NowText, Fingerprint};
          Replies = ALink.Exchange(Commands, ADeadline);
        }
        if (IsErrorReply(*Replies[0], "READONLY"))
          throw ERedisError(ALink.Address() + " is a replica now: " + std::string(ReplyText(*Replies[0])));
        Result = Written(Replies[0]);
        if (Result == rrUnavailable) {
          AError = ReplyText(*Replies[0]);
          return;
        }
        // Acknowledged by the master alone, a record is lost if a replica
        // that lacks it is promoted.
        if (Result == rrAccepted && ALink.WaitsForReplica() &&
            (Replies[1]->type != REDIS_REPLY_INTEGER || Replies[1]->integer < 1))
          throw ERedisError("no replica of " + ALink.Address() + " took the record in time");
      },
      AError, Deadline());
  return Ran ? Result : rrUnavailable;
}

TRecordResult TRedisStore::Record(const TLedgerKey &AKey, TLedgerTime ATime) {
  if (ATime < RetentionCutoff(LedgerNow(), FOptions.Retention))
    return rrExpired;
  std::string Error;
  const TRecordResult Result = WriteEntry(AKey, ATime, Error);
  if (Result == rrAccepted) {
    {
      // The record started the ledger's clock if it had not: a start time
      // that vanishes from now on means lost data.
      const std::lock_guard<std::mutex> Lock(FFactsLock);
      FSawStart = true;
    }
    FWrites.Succeeded();
    WriteEndedLosses();
    return Result;
  }
  FWrites.Failed(Result == rrFull ? "Redis is out of memory (maxmemory); IDs recorded before are still checked"
                                  : Error);
  FLost.store(Result, std::memory_order_relaxed);
  return Result;
}

void TRedisStore::WriteEndedLosses() {
  const std::optional<TLedgerGap> Ended = FWrites.TakeEnded(FRecorder);
  if (Ended && RecordGap(*Ended) != rrAccepted)
    FWrites.GiveBack(*Ended);
}

TRecordResult TRedisStore::Flush() {
  const std::uint8_t Lost = FLost.exchange(NoLoss, std::memory_order_relaxed);
  return Lost == NoLoss ? rrAccepted : static_cast<TRecordResult>(Lost);
}

std::optional<TLedgerTime> TRedisStore::StartTime() {
  const auto Now = std::chrono::steady_clock::now();
  {
    const std::lock_guard<std::mutex> Lock(FFactsLock);
    if (FStart && Now - FStartReadAt < StartTimeRefresh)
      return FStart;
    FStartReadAt = Now;  // one refresh at a time; the others take what is known
  }
  ReadFacts();
  const std::lock_guard<std::mutex> Lock(FFactsLock);
  return FStart;
}

std::optional<std::string> TRedisStore::ReadFacts() {
  std::optional<std::string> Fingerprint;
  Run(gRead, [&](TRedisLink &ALink, TDeadline ADeadline) {
    const TRedisReplyPtr Reply = ALink.Exchange({"MGET", StartKey, FingerprintKey}, ADeadline);
    if (Reply->type != REDIS_REPLY_ARRAY || Reply->elements != 2)
      return;
    NoticeFacts(*Reply->element[0], *Reply->element[1]);
    if (Reply->element[1]->type == REDIS_REPLY_STRING)
      Fingerprint = ReplyText(*Reply->element[1]);
  });
  return Fingerprint;
}

std::optional<TLedgerTime> TRedisStore::CoverSince() {
  const TRedisReplyPtr Reply = Ask(gRead, {"GET", CoverKey});
  return Reply ? TimeOf(*Reply) : std::nullopt;
}

TRecordResult TRedisStore::SetCoverSince(TLedgerTime ASince) {
  return Written(Ask(gWrite, {"SET", CoverKey, SecondsText(ASince)}));
}

std::optional<std::string> TRedisStore::Fingerprint() { return ReadFacts(); }

TRecordResult TRedisStore::SetFingerprint(std::string_view AFingerprint) {
  const TRecordResult Result = Written(Ask(gWrite, {"SET", FingerprintKey, AFingerprint, "NX"}));
  if (Result == rrAccepted)
    ReadFacts();  // what it holds now is what this process goes by
  return Result;
}

TRecordResult TRedisStore::Heartbeat(std::string_view ARecorder, TLedgerTime ANow) {
  const std::string Name = StoredRecorderName(ARecorder);
  if (Name.empty())
    return rrUnavailable;
  return Written(Ask(gWrite, {"HSET", BeatsKey, Name, SecondsText(ANow)}));
}

std::optional<TLedgerTime> TRedisStore::LastHeartbeat(std::string_view ARecorder) {
  const TRedisReplyPtr Reply = Ask(gRead, {"HGET", BeatsKey, StoredRecorderName(ARecorder)});
  return Reply ? TimeOf(*Reply) : std::nullopt;
}

std::optional<std::vector<TLedgerHeartbeat>> TRedisStore::Heartbeats() {
  const TRedisReplyPtr Reply = Ask(gRead, {"HGETALL", BeatsKey});
  if (!Reply || Reply->type != REDIS_REPLY_ARRAY)
    return std::nullopt;
  std::vector<TLedgerHeartbeat> Result;
  for (std::size_t I = 0; I + 1 < Reply->elements; I += 2)
    if (const std::optional<TLedgerTime> Time = TimeOf(*Reply->element[I + 1]))
      Result.push_back({std::string(ReplyText(*Reply->element[I])), *Time});
  std::sort(Result.begin(), Result.end(),
            [](const TLedgerHeartbeat &A, const TLedgerHeartbeat &B) { return A.Recorder < B.Recorder; });
  return Result;
}

TRecordResult TRedisStore::RetireRecorder(std::string_view ARecorder) {
  return Written(Ask(gWrite, {"HDEL", BeatsKey, StoredRecorderName(ARecorder)}));
}

TRecordResult TRedisStore::RecordGap(const TLedgerGap &AGap) {
  TLedgerGap Gap = AGap;
  Gap.Recorder = StoredRecorderName(AGap.Recorder);
  if (Gap.Recorder.empty())
    return rrUnavailable;
  const TLedgerTime Cutoff = RetentionCutoff(LedgerNow(), FOptions.Retention);
  if (std::max(Gap.From, Gap.To) < Cutoff)
    return rrExpired;
  TRecordResult Result = rrUnavailable;
  Run(gWrite, [&](TRedisLink &ALink, TDeadline ADeadline) {
    // Another host may merge a gap of the same recorder at once: the field
    // is written only if it did not change since it was read.
    for (int Attempt = 0; Attempt < GapWriteAttempts; ++Attempt) {
      const std::vector<TRedisCommand> Read{{"WATCH", GapsKey}, {"HGET", GapsKey, Gap.Recorder}};
      const std::vector<TRedisReplyPtr> Known = ALink.Exchange(Read, ADeadline);
      const std::string Text = GapsText(
          MergeGap(ParseGapsText(Gap.Recorder, Known[1]->type == REDIS_REPLY_STRING ? ReplyText(*Known[1]) : ""), Gap,
                   Cutoff));
      const std::vector<TRedisCommand> Write{{"MULTI"}, {"HSET", GapsKey, Gap.Recorder, Text}, {"EXEC"}};
      const std::vector<TRedisReplyPtr> Done = ALink.Exchange(Write, ADeadline);
      if (Done[2]->type == REDIS_REPLY_ARRAY) {
        Result = rrAccepted;
        return;
      }
      if (Done[2]->type == REDIS_REPLY_ERROR) {  // EXECABORT: the HSET was refused (OOM)
        Result = Written(Done[1]);
        return;
      }
    }
  });
  return Result;
}

std::optional<std::vector<TLedgerGap>> TRedisStore::Gaps(TLedgerTime ASince) {
  const TRedisReplyPtr Reply = Ask(gRead, {"HGETALL", GapsKey});
  if (!Reply || Reply->type != REDIS_REPLY_ARRAY)
    return std::nullopt;
  std::vector<TLedgerGap> Result;
  for (std::size_t I = 0; I + 1 < Reply->elements; I += 2)
    for (TLedgerGap &Gap : ParseGapsText(ReplyText(*Reply->element[I]), ReplyText(*Reply->element[I + 1])))
      if (Gap.To >= ASince)
        Result.push_back(std::move(Gap));
  std::stable_sort(Result.begin(), Result.end(), [](const TLedgerGap &A, const TLedgerGap &B) { return A.From < B.From; });
  return Result;
}

TLedgerStats TRedisStore::Stats() {
  TLedgerStats Result;
  std::string Error;
  // Each exchange has its own deadline: reading every entry is one exchange
  // per page of SCAN.
  const bool Read = Run(
      gRead,
      [&](TRedisLink &ALink, TDeadline) {
        Result = {};
        std::string Cursor = "0";
        do {
          const TRedisReplyPtr Page =
              ALink.Exchange({"SCAN", Cursor, "MATCH", KeyPattern, "COUNT", "1000"}, Deadline());
          if (Page->type != REDIS_REPLY_ARRAY || Page->elements != 2 || Page->element[0]->type != REDIS_REPLY_STRING ||
              Page->element[1]->type != REDIS_REPLY_ARRAY)
            throw ERedisError("unexpected reply to SCAN: " + std::string(ReplyText(*Page)));
          Cursor = ReplyText(*Page->element[0]);
          const redisReply &Keys = *Page->element[1];
          if (Keys.elements == 0)
            continue;
          TRedisCommand Mget{"MGET"};
          for (std::size_t I = 0; I < Keys.elements; ++I)
            Mget.push_back(ReplyText(*Keys.element[I]));
          const TRedisReplyPtr Values = ALink.Exchange(Mget, Deadline());
          for (std::size_t I = 0; Values->type == REDIS_REPLY_ARRAY && I < Values->elements; ++I)
            // A key that expired since SCAN listed it reads as nil, and is not counted.
            if (const std::optional<TLedgerTime> Time = TimeOf(*Values->element[I])) {
              ++Result.Entries;
              Result.Oldest = std::min(Result.Oldest.value_or(*Time), *Time);
              Result.Newest = std::max(Result.Newest.value_or(*Time), *Time);
            }
        } while (Cursor != "0");
        const std::vector<TRedisCommand> Facts{
            {"MGET", StartKey, CoverKey, FingerprintKey}, {"INFO", "memory"}, {"INFO", "keyspace"}};
        const std::vector<TRedisReplyPtr> Replies = ALink.Exchange(Facts, Deadline());
        if (Replies[0]->type == REDIS_REPLY_ARRAY && Replies[0]->elements == 3) {
          Result.StartTime = TimeOf(*Replies[0]->element[0]);
          Result.CoverSince = TimeOf(*Replies[0]->element[1]);
          if (Replies[0]->element[2]->type == REDIS_REPLY_STRING)
            Result.Fingerprint = std::string(ReplyText(*Replies[0]->element[2]));
        }
        // What the server holds above its empty state, shared out over all
        // its keys: the hash tables and expiry of each entry included.
        const std::string_view Memory = ReplyText(*Replies[1]);
        const std::uint64_t Used = InfoNumber(Memory, "used_memory");
        const std::uint64_t Empty = InfoNumber(Memory, "used_memory_startup");
        const std::uint64_t Keys = InfoKeys(ReplyText(*Replies[2]));
        if (Keys > 0 && Used > Empty)
          Result.BytesUsed = static_cast<std::uint64_t>(static_cast<double>(Used - Empty) *
                                                        static_cast<double>(Result.Entries) / static_cast<double>(Keys));
        if (const std::uint64_t Most = InfoNumber(Memory, "maxmemory"); Most > 0)
          Result.Fullness = static_cast<double>(Used) / static_cast<double>(Most);
      },
      Error, Deadline());
  if (!Read)
    throw ELedgerError("Cannot read the ledger \"" + FOptions.Uri + "\": " + Error);
  return Result;
}

} // namespace

std::unique_ptr<ILedgerStore> OpenRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation,
                                             TLedgerLog ALog) {
  return std::make_unique<TRedisStore>(AOptions, ALocation, std::move(ALog));
}

} // namespace bw
