// Checks of many messages on eight threads at once give the verdicts the same
// checks give one after another: the layers a check touches share nothing
// writable. Built with -DBW_TSAN=ON, ThreadSanitizer watches the same run.
#include "milter/MilterCheck_un.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct TSample {
  std::string Name;
  std::string Content;
};

void AddFolder(const std::filesystem::path &AFolder, std::vector<TSample> &ASamples) {
  if (!std::filesystem::is_directory(AFolder))
    return;
  for (const auto &Entry : std::filesystem::recursive_directory_iterator(AFolder)) {
    if (Entry.path().extension() != ".eml")
      continue;
    std::ifstream File(Entry.path(), std::ios::binary);
    std::ostringstream Content;
    Content << File.rdbuf();
    ASamples.push_back({Entry.path().string(), Content.str()});
  }
}

std::string Describe(const bw::TCheckOutcome &AOutcome) {
  return bw::VerdictText(AOutcome) + ", " + std::to_string(AOutcome.MessageIDCount) + " IDs";
}

TEST(MilterConcurrencyTest, EightThreadsGiveTheSingleThreadedVerdicts) {
  std::vector<TSample> Samples;
  AddFolder(std::filesystem::path(BW_CORPUS_DIR) / "mail", Samples);
  const bool HaveCorpus = !Samples.empty();
  AddFolder(BW_TEST_DATA, Samples);
  ASSERT_FALSE(Samples.empty());
  // The empty sender makes every message a bounce, so every stage runs.
  const std::string Pattern = ".*@example\\.com$";
  constexpr unsigned ThreadCount = 8;

  bw::TCheckGate Gate(ThreadCount);
  std::vector<std::string> Expected;
  for (const TSample &Sample : Samples)
    Expected.push_back(Describe(bw::RunCheck(Gate, "", Sample.Content, Pattern)));

  // Each thread checks every message, starting at its own offset, so that
  // different messages and the same message both meet at the same time.
  std::vector<std::vector<std::string>> Seen(ThreadCount, std::vector<std::string>(Samples.size()));
  std::vector<std::thread> Threads;
  for (unsigned T = 0; T < ThreadCount; ++T)
    Threads.emplace_back([&, T] {
      for (std::size_t I = 0; I < Samples.size(); ++I) {
        const std::size_t Index = (I + T * Samples.size() / ThreadCount) % Samples.size();
        Seen[T][Index] = Describe(bw::RunCheck(Gate, "", Samples[Index].Content, Pattern));
      }
    });
  for (std::thread &Thread : Threads)
    Thread.join();

  for (unsigned T = 0; T < ThreadCount; ++T)
    for (std::size_t I = 0; I < Samples.size(); ++I)
      EXPECT_EQ(Seen[T][I], Expected[I]) << Samples[I].Name << " on thread " << T;
  if (!HaveCorpus)
    std::cout << "[   NOTE   ] no corpus at " << BW_CORPUS_DIR << ": test fixtures only\n";
}

// Six threads hold the gate of two for a moment each: never more than two
// are inside. Closing it then waits for a holder to leave.
TEST(MilterConcurrencyTest, GateHoldsAtMostItsWorkersAndClosingWaitsForThem) {
  bw::TCheckGate Gate(2);
  std::atomic<int> Inside{0}, MostInside{0};
  std::vector<std::thread> Threads;
  for (int T = 0; T < 6; ++T)
    Threads.emplace_back([&] {
      ASSERT_TRUE(Gate.Enter());
      const int Now = ++Inside;
      int Most = MostInside.load();
      while (Now > Most && !MostInside.compare_exchange_weak(Most, Now)) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      --Inside;
      Gate.Leave();
    });
  for (std::thread &Thread : Threads)
    Thread.join();
  EXPECT_LE(MostInside.load(), 2);  // how close it comes to 2 depends on scheduling

  ASSERT_TRUE(Gate.Enter());
  std::atomic<bool> Closed{false};
  std::thread Closer([&] {
    Gate.CloseAndWait();
    Closed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(Closed.load()) << "closing did not wait for the check inside";
  Gate.Leave();
  Closer.join();
  EXPECT_TRUE(Closed.load());
  EXPECT_FALSE(Gate.Enter());
}

TEST(MilterConcurrencyTest, AClosedGateLetsNoCheckInAndWaitsForNone) {
  bw::TCheckGate Gate(2);
  Gate.CloseAndWait();
  EXPECT_EQ(bw::RunCheck(Gate, "", "Content-Type: multipart/report\r\n\r\nx", ".*").Verdict, bw::cvShuttingDown);
}

} // namespace
