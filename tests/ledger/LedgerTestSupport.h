// Helpers of the ledger's tests: a log that keeps its lines, and keys made
// from numbers.
#pragma once

#include "ledger/LedgerOpen_un.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

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

} // namespace bwtest
