// The Redis store over hiredis: a pool of blocking connections, each round
// trip bounded by the timeout, and an outage remembered so that a Redis that
// is down or slow costs one attempt per retry delay, not one per message.
#include "ledger/RedisStore_un.h"

#include "ledger/LedgerOutage_un.h"
#include "rtl/Clock_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/SysUtils_un.h"

#include <hiredis/hiredis.h>

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <span>
#include <vector>

namespace bw {

namespace {

class ERedisError : public ELedgerError {
public:
  using ELedgerError::ELedgerError;
  const char *ClassName() const noexcept override { return "ERedisError"; }
};

struct TRedisFree {
  void operator()(redisContext *AContext) const noexcept { redisFree(AContext); }
};
using TRedisContextPtr = std::unique_ptr<redisContext, TRedisFree>;

struct TReplyFree {
  void operator()(redisReply *AReply) const noexcept { freeReplyObject(AReply); }
};
using TRedisReplyPtr = std::unique_ptr<redisReply, TReplyFree>;

constexpr std::string_view KeyPrefix = "bwl:";
constexpr std::string_view KeyPattern = "bwl:*";
constexpr std::string_view StartKey = "bwl-start";
constexpr std::size_t MaxIdleConnections = 64;
constexpr std::chrono::seconds StartTimeRefresh{60};

std::string KeyText(const TLedgerKey &AKey) { return std::string(KeyPrefix) + HexText(AKey); }

// The seconds since the epoch that a time value holds: the ledger writes
// them as decimal text, and never a time before 1970.
std::optional<std::int64_t> SecondsOf(const redisReply &AReply) {
  if (AReply.type == REDIS_REPLY_INTEGER)
    return AReply.integer;
  if (AReply.type != REDIS_REPLY_STRING)
    return std::nullopt;
  return ParseDecimal<std::int64_t>(std::string_view(AReply.str, AReply.len), 0,
                                    std::numeric_limits<std::int64_t>::max());
}

std::string SecondsText(TLedgerTime ATime) { return std::to_string(ATime.time_since_epoch().count()); }

class TRedisStore final : public ILedgerStore {
public:
  TRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation, TLedgerLog ALog);

  TLookupResult Contains(const TLedgerKey &AKey) override;
  TRecordResult Record(const TLedgerKey &AKey, TLedgerTime ATime) override;
  TRecordResult Flush() override { return rrAccepted; }  // Record waits for its reply
  TSweepResult Sweep(std::size_t) override { return {0, 0, true}; }  // the keys expire by themselves
  TLedgerStats Stats() override;
  std::optional<TLedgerTime> StartTime() override;
  // Reads and writes share the one outage: a Redis that cannot be read was
  // not taking records either.
  std::optional<TLedgerTime> LastLostRecords() const override { return FOutage.LastDown(); }

private:
  TRedisContextPtr Connect() const;
  TRedisContextPtr Acquire(std::string &AError);
  void Release(TRedisContextPtr AContext);
  void MarkDown(const std::string &AReason);
  // Runs AAction on a connection. False, with the reason in AError, when
  // the store is down or the action failed; the connection is then dropped.
  template <class TAction> bool Run(TAction &&AAction, std::string &AError);
  template <class TAction> bool Run(TAction &&AAction) {
    std::string Ignored;
    return Run(std::forward<TAction>(AAction), Ignored);
  }

  std::string ErrorText(const redisContext &AContext) const;
  TRedisReplyPtr Reply(redisContext *AContext, void *AReply) const;
  TRedisReplyPtr Command(redisContext *AContext, std::span<const std::string_view> AArgs) const;
  TRedisReplyPtr Command(redisContext *AContext, std::initializer_list<std::string_view> AArgs) const {
    return Command(AContext, std::span<const std::string_view>(AArgs.begin(), AArgs.size()));
  }
  void Append(redisContext *AContext, std::span<const std::string_view> AArgs) const;
  TLedgerTime ReadStartTime(redisContext *AContext) const;

  const TLedgerOptions FOptions;
  const TLedgerLocation FLocation;
  const timeval FTimeout;
  TOutageLog FOutage;
  // Reachable but refusing writes (maxmemory reached under noeviction):
  // lookups still answer, so this is no outage.
  TOutageLog FFull;

  std::mutex FPoolLock;
  std::vector<TRedisContextPtr> FIdle;
  // Steady-clock nanoseconds of the next attempt after a failure; 0 while up.
  std::atomic<std::int64_t> FRetryAt{0};

  std::mutex FStartLock;
  std::optional<TLedgerTime> FStart;
  std::chrono::steady_clock::time_point FStartReadAt;
};

timeval TimevalOf(std::chrono::milliseconds ADuration) {
  const auto Micro = std::chrono::duration_cast<std::chrono::microseconds>(ADuration).count();
  return timeval{static_cast<time_t>(Micro / 1000000), static_cast<suseconds_t>(Micro % 1000000)};
}

TRedisStore::TRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation, TLedgerLog ALog)
    : FOptions(AOptions), FLocation(ALocation), FTimeout(TimevalOf(AOptions.Timeout)),
      FOutage(ALog, "ledger " + AOptions.Uri + " cannot be reached, bounces are checked without it",
              "ledger " + AOptions.Uri + " can be reached again"),
      FFull(std::move(ALog), "ledger " + AOptions.Uri + " is full, the mail sent meanwhile is not recorded",
            "ledger " + AOptions.Uri + " takes records again") {
  try {
    TRedisContextPtr Context = Connect();
    FStart = ReadStartTime(Context.get());
    FStartReadAt = std::chrono::steady_clock::now();
    Release(std::move(Context));
  } catch (const ERedisError &E) {
    if (FOptions.Opening == loRequire)
      throw ELedgerError("Cannot reach the ledger \"" + FOptions.Uri + "\": " + E.Message());
    MarkDown(E.Message());
  }
}

std::string TRedisStore::ErrorText(const redisContext &AContext) const {
  // A blocking read that outlived SO_RCVTIMEO reports EAGAIN's text.
  if (AContext.err == REDIS_ERR_IO && AContext.errstr == SystemErrorText(EAGAIN))
    return "no answer within " + std::to_string(FOptions.Timeout.count()) + " ms";
  return AContext.err ? AContext.errstr : "no reply";
}

TRedisReplyPtr TRedisStore::Reply(redisContext *AContext, void *AReply) const {
  TRedisReplyPtr Result(static_cast<redisReply *>(AReply));
  if (!Result)
    throw ERedisError(ErrorText(*AContext));
  if (Result->type == REDIS_REPLY_ERROR)
    throw ERedisError(std::string(Result->str, Result->len));
  return Result;
}

TRedisReplyPtr TRedisStore::Command(redisContext *AContext, std::span<const std::string_view> AArgs) const {
  std::vector<const char *> Argv;
  std::vector<std::size_t> Lengths;
  for (const std::string_view Arg : AArgs) {
    Argv.push_back(Arg.data());
    Lengths.push_back(Arg.size());
  }
  return Reply(AContext, redisCommandArgv(AContext, static_cast<int>(Argv.size()), Argv.data(), Lengths.data()));
}

void TRedisStore::Append(redisContext *AContext, std::span<const std::string_view> AArgs) const {
  std::vector<const char *> Argv;
  std::vector<std::size_t> Lengths;
  for (const std::string_view Arg : AArgs) {
    Argv.push_back(Arg.data());
    Lengths.push_back(Arg.size());
  }
  if (redisAppendCommandArgv(AContext, static_cast<int>(Argv.size()), Argv.data(), Lengths.data()) != REDIS_OK)
    throw ERedisError(ErrorText(*AContext));
}

TRedisContextPtr TRedisStore::Connect() const {
  TRedisContextPtr Context(FLocation.Kind == lkRedisUnix
                               ? redisConnectUnixWithTimeout(FLocation.Path.c_str(), FTimeout)
                               : redisConnectWithTimeout(FLocation.Host.c_str(), FLocation.Port, FTimeout));
  if (!Context)
    throw ERedisError("cannot allocate a connection");
  if (Context->err)
    throw ERedisError(ErrorText(*Context));
  // The timeout above bounds connecting only; this bounds every round trip.
  if (redisSetTimeout(Context.get(), FTimeout) != REDIS_OK)
    throw ERedisError(ErrorText(*Context));
  if (FLocation.Database != 0)
    Command(Context.get(), {"SELECT", std::to_string(FLocation.Database)});
  return Context;
}

TRedisContextPtr TRedisStore::Acquire(std::string &AError) {
  {
    const std::lock_guard<std::mutex> Lock(FPoolLock);
    if (!FIdle.empty()) {
      TRedisContextPtr Context = std::move(FIdle.back());
      FIdle.pop_back();
      return Context;
    }
  }
  std::int64_t RetryAt = FRetryAt.load(std::memory_order_acquire);
  if (RetryAt != 0) {
    // Down: one caller claims the next attempt; the others answer at once.
    const std::int64_t Now = SteadyNanoseconds();
    const std::int64_t Later = Now + std::chrono::nanoseconds(FOptions.RetryDelay).count();
    if (Now < RetryAt || !FRetryAt.compare_exchange_strong(RetryAt, Later)) {
      AError = "it failed a moment ago";
      return nullptr;
    }
  }
  try {
    return Connect();
  } catch (const ERedisError &E) {
    AError = E.Message();
    MarkDown(E.Message());
    return nullptr;
  }
}

void TRedisStore::Release(TRedisContextPtr AContext) {
  const std::lock_guard<std::mutex> Lock(FPoolLock);
  if (FIdle.size() < MaxIdleConnections)
    FIdle.push_back(std::move(AContext));
}

void TRedisStore::MarkDown(const std::string &AReason) {
  FRetryAt.store(SteadyNanoseconds() + std::chrono::nanoseconds(FOptions.RetryDelay).count(),
                 std::memory_order_release);
  // The idle connections went to the same server: they are as dead as this one.
  std::vector<TRedisContextPtr> Stale;
  {
    const std::lock_guard<std::mutex> Lock(FPoolLock);
    Stale.swap(FIdle);
  }
  FOutage.Failed(AReason);
}

template <class TAction> bool TRedisStore::Run(TAction &&AAction, std::string &AError) {
  TRedisContextPtr Context = Acquire(AError);
  if (!Context)
    return false;
  try {
    AAction(Context.get());
  } catch (const ERedisError &E) {
    // A connection that failed once may hold half a reply: never reuse it.
    AError = E.Message();
    MarkDown(E.Message());
    return false;
  }
  if (FRetryAt.load(std::memory_order_relaxed) != 0)  // a store on every call would bounce the line between cores
    FRetryAt.store(0, std::memory_order_release);
  FOutage.Succeeded();
  Release(std::move(Context));
  return true;
}

TLookupResult TRedisStore::Contains(const TLedgerKey &AKey) {
  bool Found = false;
  const std::string Key = KeyText(AKey);
  if (!Run([&](redisContext *AContext) {
        const TRedisReplyPtr Reply = Command(AContext, {"EXISTS", Key});
        Found = Reply->type == REDIS_REPLY_INTEGER && Reply->integer > 0;
      }))
    return lrUnknown;
  return Found ? lrFound : lrAbsent;
}

TRecordResult TRedisStore::Record(const TLedgerKey &AKey, TLedgerTime ATime) {
  const TLedgerTime Now = LedgerNow();
  if (ATime < RetentionCutoff(Now, FOptions.Retention))
    return rrExpired;
  // The rest of the retention, at least a second: the value and its expiry
  // go in one command, so no key ever lives without one.
  const std::int64_t Ttl = std::max<std::int64_t>(1, (ATime + FOptions.Retention - Now).count());
  const std::string Key = KeyText(AKey);
  const std::string Value = SecondsText(ATime);
  const std::string TtlText = std::to_string(Ttl);
  std::string Full;
  const bool Answered = Run([&](redisContext *AContext) {
    try {
      Command(AContext, {"SET", Key, Value, "EX", TtlText});
    } catch (const ERedisError &E) {  // Redis' answer when its maxmemory is reached: the connection is sound
      if (!E.Message().starts_with("OOM "))
        throw;
      Full = E.Message();
    }
  });
  if (!Answered)
    return rrUnavailable;
  if (!Full.empty()) {
    FFull.Failed(Full);
    return rrFull;
  }
  FFull.Succeeded();
  return rrAccepted;
}

TLedgerTime TRedisStore::ReadStartTime(redisContext *AContext) const {
  Command(AContext, {"SET", StartKey, SecondsText(LedgerNow()), "NX"});
  const TRedisReplyPtr Reply = Command(AContext, {"GET", StartKey});
  const std::optional<std::int64_t> Seconds = SecondsOf(*Reply);
  if (!Seconds)
    throw ERedisError("the start time \"" + std::string(StartKey) + "\" is not a number of seconds");
  return TLedgerTime(std::chrono::seconds(*Seconds));
}

std::optional<TLedgerTime> TRedisStore::StartTime() {
  const auto Now = std::chrono::steady_clock::now();
  {
    const std::lock_guard<std::mutex> Lock(FStartLock);
    if (FStart && Now - FStartReadAt < StartTimeRefresh)
      return FStart;
    FStartReadAt = Now;  // one refresh at a time; the others take what is known
  }
  std::optional<TLedgerTime> Read;
  Run([&](redisContext *AContext) { Read = ReadStartTime(AContext); });
  const std::lock_guard<std::mutex> Lock(FStartLock);
  if (Read)
    FStart = Read;
  return FStart;
}

TLedgerStats TRedisStore::Stats() {
  TLedgerStats Result;
  std::string Error;
  const bool Read = Run(
      [&](redisContext *AContext) {
        Result = {};
        std::string Cursor = "0";
        do {
          const TRedisReplyPtr Page = Command(AContext, {"SCAN", Cursor, "MATCH", KeyPattern, "COUNT", "1000"});
          if (Page->type != REDIS_REPLY_ARRAY || Page->elements != 2 || Page->element[0]->type != REDIS_REPLY_STRING ||
              Page->element[1]->type != REDIS_REPLY_ARRAY)
            throw ERedisError("unexpected reply to SCAN");
          Cursor.assign(Page->element[0]->str, Page->element[0]->len);
          const redisReply &Keys = *Page->element[1];
          if (Keys.elements == 0)
            continue;
          // One MGET for the times and a MEMORY USAGE per key, in one round trip.
          std::vector<std::string_view> Mget{"MGET"};
          for (std::size_t I = 0; I < Keys.elements; ++I)
            Mget.emplace_back(Keys.element[I]->str, Keys.element[I]->len);
          Append(AContext, Mget);
          for (std::size_t I = 1; I < Mget.size(); ++I) {
            const std::string_view Usage[] = {"MEMORY", "USAGE", Mget[I]};
            Append(AContext, Usage);
          }
          void *Raw = nullptr;
          redisGetReply(AContext, &Raw);
          const TRedisReplyPtr Values = Reply(AContext, Raw);
          for (std::size_t I = 0; Values->type == REDIS_REPLY_ARRAY && I < Values->elements; ++I)
            if (const std::optional<std::int64_t> Seconds = SecondsOf(*Values->element[I])) {
              // A key that expired since SCAN listed it reads as nil, and is not counted.
              const TLedgerTime Time{std::chrono::seconds(*Seconds)};
              ++Result.Entries;
              Result.Oldest = std::min(Result.Oldest.value_or(Time), Time);
              Result.Newest = std::max(Result.Newest.value_or(Time), Time);
            }
          for (std::size_t I = 1; I < Mget.size(); ++I) {
            redisGetReply(AContext, &Raw);
            const TRedisReplyPtr Usage = Reply(AContext, Raw);
            if (Usage->type == REDIS_REPLY_INTEGER)
              Result.BytesUsed += static_cast<std::uint64_t>(Usage->integer);
          }
        } while (Cursor != "0");
        Result.StartTime = ReadStartTime(AContext);
      },
      Error);
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
