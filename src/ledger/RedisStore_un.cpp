// The Redis store over hiredis: a pool of connections (RedisLink_un.h), each
// call bounded by the timeout as a whole, and a failure remembered so that
// a Redis that is down or slow costs one attempt per retry delay, not one
// per message. Lookups and records are remembered apart: a slow lookup
// loses no record, so it does not hold records back.
#include "ledger/RedisStore_un.h"

#include "ledger/RedisLedger_un.h"

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

std::string KeyText(const TLedgerKey &AKey) { return std::string(KeyPrefix) + HexText(AKey); }

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

// Records one entry as the stores agree: the newer of two times wins, and
// its time to live is set with it. The first record starts the ledger's
// clock, and puts back the key's fingerprint that this process saw (when a
// Redis lost its data, the first record after starts it again).
// KEYS: entry, start, fingerprint; ARGV: time, seconds to live, now,
// fingerprint or "".
static constexpr const char *RecordScript = R"(redis.call('SET', KEYS[2], ARGV[3], 'NX')
if ARGV[4] ~= '' then redis.call('SET', KEYS[3], ARGV[4], 'NX') end
local Old = tonumber(redis.call('GET', KEYS[1]))
if Old and Old >= tonumber(ARGV[1]) then return 0 end
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
return 1)";

static std::string ScriptSha(const char *AScript) {
  gchar *Sha = g_compute_checksum_for_string(G_CHECKSUM_SHA1, AScript, -1);
  std::string Result(Sha);
  g_free(Sha);
  return Result;
}

TRedisStore::TRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation, const TLedgerLog &ALog)
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

TRedisReplyPtr TRedisStore::Ask(TGate AGate, const TRedisCommand &ACommand) {
  TRedisReplyPtr Reply;
  Run(AGate, [&](TRedisLink &ALink, TDeadline ADeadline) {
    Reply = ALink.Exchange(ACommand, ADeadline);
    if (IsErrorReply(*Reply, "READONLY"))  // a master no more: ask the sentinels again
      throw ERedisError(ALink.Address() + " is a replica now: " + std::string(ReplyText(*Reply)));
  });
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
        const auto WaitMs = [&] {
          const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(ADeadline - std::chrono::steady_clock::now());
          return std::to_string(std::max<std::int64_t>(1, Left.count()));
        };
        // Behind sentinels the master's replicas are asked for with every
        // record (ROLE, in the same round trip): a count learned only when
        // the connection was made would stay 0 on a connection made before
        // the replicas attached, and no record on it would ever wait for one.
        const bool Sentinel = FLocation.Kind == lkRedisSentinel;
        if (Sentinel)
          CheckReplicas(ALink);
        const int Waited = Sentinel ? ALink.Replicas() : 0;
        // The commands hold views: every text they name lives to the end.
        const std::string WaitedText = std::to_string(Waited), WaitedMs = WaitMs();
        std::vector<TRedisCommand> Commands;
        if (Sentinel)
          Commands.push_back({"ROLE"});
        const std::size_t Script = Commands.size();
        Commands.push_back({"EVALSHA", FScriptSha, "3", Key, StartKey, FingerprintKey, Value, Ttl, NowText, Fingerprint});
        if (Waited > 0)
          Commands.push_back({"WAIT", WaitedText, WaitedMs});
        std::vector<TRedisReplyPtr> Replies = ALink.Exchange(Commands, ADeadline);
        if (IsErrorReply(*Replies[Script], "NOSCRIPT")) {  // a restarted or new master: send the script itself
          Commands[Script] = {"EVAL", RecordScript, "3", Key, StartKey, FingerprintKey, Value, Ttl, NowText, Fingerprint};
          Replies = ALink.Exchange(Commands, ADeadline);
        }
        if (IsErrorReply(*Replies[Script], "READONLY"))
          throw ERedisError(ALink.Address() + " is a replica now: " + std::string(ReplyText(*Replies[Script])));
        Result = Written(Replies[Script]);
        if (Result == rrUnavailable) {
          AError = ReplyText(*Replies[Script]);
          return;
        }
        if (Result != rrAccepted || !Sentinel)
          return;
        // Acknowledged by fewer than every replica, a record is lost if one
        // that lacks it is promoted; so is one written while the master has
        // fewer replicas than before (a failover may be under way).
        ALink.NoteRole(*Replies[0]);
        CheckReplicas(ALink);
        if (Waited > 0 && (Replies[Script + 1]->type != REDIS_REPLY_INTEGER || Replies[Script + 1]->integer < Waited))
          throw ERedisError("not every replica of " + ALink.Address() + " took the record in time");
        // Replicas that attached since the last record have not been waited for yet.
        if (ALink.Replicas() > Waited) {
          const std::string MoreText = std::to_string(ALink.Replicas()), MoreMs = WaitMs();
          const TRedisReplyPtr More = ALink.Exchange({"WAIT", MoreText, MoreMs}, ADeadline);
          if (More->type != REDIS_REPLY_INTEGER || More->integer < ALink.Replicas())
            throw ERedisError("not every replica of " + ALink.Address() + " took the record in time");
        }
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

void TRedisStore::CheckReplicas(const TRedisLink &ALink) {
  const std::lock_guard<std::mutex> Lock(FReplicasLock);
  const auto Now = std::chrono::steady_clock::now();
  if (ALink.Replicas() >= FMostReplicas) {
    FMostReplicas = ALink.Replicas();
    FFewerSince.reset();
    return;
  }
  if (!FFewerSince)
    FFewerSince = Now;
  if (Now - *FFewerSince >= ReplicaLossHold) {  // gone for good: go on with the rest
    FMostReplicas = ALink.Replicas();
    FFewerSince.reset();
    return;
  }
  throw ERedisError(ALink.Address() + " has " + std::to_string(ALink.Replicas()) + " of its " +
                    std::to_string(FMostReplicas) + " replicas: a failover may be under way");
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


std::unique_ptr<ILedgerStore> OpenRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation,
                                             const TLedgerLog &ALog) {
  return std::make_unique<TRedisStore>(AOptions, ALocation, ALog);
}

} // namespace bw
