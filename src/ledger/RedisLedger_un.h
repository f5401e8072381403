// The Redis store's class, shared by its two units: RedisStore_un.cpp (the
// connections, lookups and records) and RedisFacts_un.cpp (the ledger's
// start, cover and fingerprint, its recorders and gaps, and its stats).
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerOutage_un.h"
#include "ledger/LedgerStore_un.h"
#include "ledger/LedgerUri_un.h"
#include "ledger/RedisLink_un.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

inline constexpr std::string_view KeyPrefix = "bwl:";
inline constexpr std::string_view KeyPattern = "bwl:*";
inline constexpr std::string_view StartKey = "bwl-start";
inline constexpr std::string_view CoverKey = "bwl-cover";
inline constexpr std::string_view FingerprintKey = "bwl-fingerprint";
inline constexpr std::string_view BeatsKey = "bwl-beats";
inline constexpr std::string_view GapsKey = "bwl-gaps";
inline constexpr std::size_t MaxIdleConnections = 64;
inline constexpr std::chrono::seconds StartTimeRefresh{60};
inline constexpr int GapWriteAttempts = 5;
// Longer than a failover takes, from a replica's promotion until the
// sentinels name it.
inline constexpr std::chrono::seconds ReplicaLossHold{30};

// An entry's key: the prefix and the hexadecimal digits of the ledger key.
std::string KeyText(const TLedgerKey &AKey);
// The seconds since the epoch that a time value holds: the ledger writes
// them as decimal text, and never a time before 1970.
std::optional<std::int64_t> SecondsOf(const redisReply &AReply);
std::optional<TLedgerTime> TimeOf(const redisReply &AReply);
std::string SecondsText(TLedgerTime ATime);

class TRedisStore final : public ILedgerStore {
public:
  TRedisStore(const TLedgerOptions &AOptions, const TLedgerLocation &ALocation, const TLedgerLog &ALog);

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
  // Behind sentinels, a failover promotes a replica, which leaves its old
  // master: one that has fewer replicas than before may be the old master
  // still taking writes that the new one will never have. Raises
  // ERedisError then, until the loss lasted ReplicaLossHold (a replica gone
  // for good).
  void CheckReplicas(const TRedisLink &ALink);
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

  std::mutex FReplicasLock;
  int FMostReplicas = 0;
  std::optional<std::chrono::steady_clock::time_point> FFewerSince;

  std::mutex FFactsLock;
  std::optional<TLedgerTime> FStart;
  std::chrono::steady_clock::time_point FStartReadAt;
  bool FSawStart = false;
  std::optional<std::string> FSawFingerprint;
};

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

} // namespace bw
