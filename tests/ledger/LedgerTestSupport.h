// Helpers of the ledger's tests: a log that keeps its lines, keys made from
// numbers, and what every store promises, checked on any of them.
#pragma once

#include "ledger/LedgerOpen_un.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bw {
// How googletest shows the stores' records when a check fails.
inline void PrintTo(const TLedgerGap &AGap, std::ostream *AOut) {
  *AOut << "{" << AGap.Recorder << ", " << LedgerTimeText(AGap.From) << ", " << LedgerTimeText(AGap.To) << ", \""
        << AGap.Reason << "\"}";
}
inline void PrintTo(const TLedgerHeartbeat &ABeat, std::ostream *AOut) {
  *AOut << "{" << ABeat.Recorder << ", " << LedgerTimeText(ABeat.Last) << "}";
}
} // namespace bw

namespace bwtest {

// The lines a store logged, from any thread.
class TLogLines {
public:
  bw::TLedgerLog Sink() {
    return [this](const std::string &ALine) {
      const std::lock_guard<std::mutex> Lock(FLock);
      FLines.push_back(ALine);
    };
  }
  std::vector<std::string> Lines() {
    const std::lock_guard<std::mutex> Lock(FLock);
    return FLines;
  }

private:
  std::mutex FLock;
  std::vector<std::string> FLines;
};

inline bw::TLedgerKey NumberedKey(std::uint64_t ANumber) {
  bw::TLedgerKey Key{};
  std::memcpy(Key.data(), &ANumber, sizeof ANumber);
  Key[15] = 0xA5;  // never all zero
  return Key;
}

// Records and looks up from AThreads threads at once, as the milter's
// threads do; returns how many of the recorded keys are then not found.
inline std::uint64_t MissingAfterThreadedUse(bw::ILedgerStore &AStore, int AThreads, std::uint64_t APerThread) {
  std::vector<std::thread> Threads;
  for (int Thread = 0; Thread < AThreads; ++Thread)
    Threads.emplace_back([&AStore, Thread, APerThread] {
      const std::uint64_t Base = static_cast<std::uint64_t>(Thread) << 32;
      for (std::uint64_t I = 0; I < APerThread; ++I) {
        AStore.Record(NumberedKey(Base + I), bw::LedgerNow());
        AStore.Contains(NumberedKey(Base + I / 2));
      }
    });
  for (std::thread &Thread : Threads)
    Thread.join();
  AStore.Flush();
  std::uint64_t Missing = 0;
  for (int Thread = 0; Thread < AThreads; ++Thread)
    for (std::uint64_t I = 0; I < APerThread; ++I)
      Missing += AStore.Contains(NumberedKey((static_cast<std::uint64_t>(Thread) << 32) + I)) != bw::lrFound;
  return Missing;
}

// Opens the store under test as another host with ARetention; the
// store of the previous call is gone by then (LMDB: one per file and process).
using TStoreOpener = std::function<std::unique_ptr<bw::ILedgerStore>(std::chrono::days ARetention)>;

// What both stores promise, through two hosts in turn: the first records
// with a retention of 30 days, the second looks with one of 14. Opening
// starts no clock; the first record does. A key recorded again keeps its
// newer time; a lookup compares the stored time with the looking host's
// retention. The fingerprint is set only when absent. Heartbeats, retired
// recorders and merged gaps are what the next host sees.
inline void ExpectStoreContract(const TStoreOpener &AOpen) {
  using std::chrono::days;
  using std::chrono::hours;
  using std::chrono::minutes;
  const bw::TLedgerTime Now = bw::LedgerNow();
  {
    const std::unique_ptr<bw::ILedgerStore> Store = AOpen(days(30));
    EXPECT_EQ(Store->StartTime(), std::nullopt);
    EXPECT_EQ(Store->Fingerprint(), std::nullopt);
    EXPECT_EQ(Store->SetFingerprint("0123456789abcdef"), bw::rrAccepted);
    EXPECT_EQ(Store->SetFingerprint("fedcba9876543210"), bw::rrAccepted);
    EXPECT_EQ(Store->Fingerprint(), "0123456789abcdef");
    const struct {
      std::uint64_t Key;
      days First, Then;  // ago
    } Records[] = {{1, days(20), days(20)}, {2, days(1), days(20)}, {3, days(20), days(1)}};
    for (const auto &Record : Records) {
      EXPECT_EQ(Store->Record(NumberedKey(Record.Key), Now - Record.First), bw::rrAccepted);
      EXPECT_EQ(Store->Flush(), bw::rrAccepted);
      EXPECT_EQ(Store->Record(NumberedKey(Record.Key), Now - Record.Then), bw::rrAccepted);
    }
    EXPECT_EQ(Store->RecordDurably(NumberedKey(4), Now), bw::rrAccepted);
    EXPECT_EQ(Store->Flush(), bw::rrAccepted);
    const std::optional<bw::TLedgerTime> Start = Store->StartTime();
    ASSERT_TRUE(Start);
    EXPECT_GE(*Start, Now);
    EXPECT_LE(*Start, bw::LedgerNow());
    const bw::TLedgerKey Keys[] = {NumberedKey(9), NumberedKey(1)};
    EXPECT_EQ(Store->ContainsAny(Keys), bw::lrFound);
    EXPECT_EQ(Store->ContainsAny({}), bw::lrAbsent);
    EXPECT_EQ(Store->SetCoverSince(Now - days(3)), bw::rrAccepted);
    EXPECT_EQ(Store->Heartbeat("mx1", Now - minutes(10)), bw::rrAccepted);
    EXPECT_EQ(Store->Heartbeat("out1", Now - minutes(5)), bw::rrAccepted);
    EXPECT_EQ(Store->Heartbeat("out1", Now), bw::rrAccepted);
    EXPECT_EQ(Store->RetireRecorder("mx1"), bw::rrAccepted);
    EXPECT_EQ(Store->RecordGap({"out1", Now - hours(2), Now - hours(1), "link down"}), bw::rrAccepted);
    EXPECT_EQ(Store->RecordGap({"out1", Now - minutes(30), Now - minutes(90), "lost records"}), bw::rrAccepted);
    EXPECT_EQ(Store->RecordGap({"out2", Now - minutes(20), Now - minutes(10), "stopped"}), bw::rrAccepted);
    EXPECT_EQ(Store->RecordGap({"out1", Now - days(40), Now - days(35), "long ago"}), bw::rrExpired);
  }
  const std::unique_ptr<bw::ILedgerStore> Store = AOpen(days(14));
  const struct {
    std::uint64_t Key;
    bw::TLookupResult Expected;
  } Lookups[] = {{1, bw::lrAbsent}, {2, bw::lrFound}, {3, bw::lrFound}, {4, bw::lrFound}, {5, bw::lrAbsent}};
  for (const auto &Lookup : Lookups)
    EXPECT_EQ(Store->Contains(NumberedKey(Lookup.Key)), Lookup.Expected) << "key " << Lookup.Key;
  EXPECT_EQ(Store->CoverSince(), Now - days(3));
  EXPECT_EQ(Store->LastHeartbeat("out1"), Now);
  EXPECT_EQ(Store->LastHeartbeat("mx1"), std::nullopt);
  EXPECT_EQ(Store->Heartbeats(), (std::vector<bw::TLedgerHeartbeat>{{"out1", Now}}));
  EXPECT_EQ(Store->Gaps(Now - days(1)),
            (std::vector<bw::TLedgerGap>{{"out1", Now - hours(2), Now - minutes(30), "link down; lost records"},
                                         {"out2", Now - minutes(20), Now - minutes(10), "stopped"}}));
  EXPECT_EQ(Store->Gaps(Now - minutes(15)), (std::vector<bw::TLedgerGap>{{"out2", Now - minutes(20), Now - minutes(10), "stopped"}}));
  const bw::TLedgerStats Stats = Store->Stats();
  EXPECT_EQ(Stats.Entries, 4u);
  EXPECT_EQ(Stats.StartTime, Store->StartTime());
  EXPECT_EQ(Stats.CoverSince, Now - days(3));
  EXPECT_EQ(Stats.Fingerprint, "0123456789abcdef");
}

} // namespace bwtest
