// The check pool: checks of many messages from eight connections at once give
// the verdicts the same checks give one after another (the layers a check
// touches share nothing writable; built with -DBW_TSAN=ON, ThreadSanitizer
// watches the same run), the bound on workers, and the answer at a stop's
// deadline.
#include "milter/MilterPool_un.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
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

std::string Describe(const bw::TDecision &AOutcome) {
  return bw::VerdictText(AOutcome) + ", " + std::to_string(AOutcome.MessageIDCount) + " IDs";
}

// Every message on eight connections at once through a pool of four
// workers, against the same checks made one after another without it.
TEST(MilterConcurrencyTest, EightConnectionsGiveTheSingleThreadedVerdicts) {
  std::vector<TSample> Samples;
  AddFolder(std::filesystem::path(BW_CORPUS_DIR) / "mail", Samples);
  const bool HaveCorpus = !Samples.empty();
  AddFolder(BW_TEST_DATA, Samples);
  ASSERT_FALSE(Samples.empty());
  // The empty sender makes every message a bounce, so every stage runs.
  const bw::TMessageIdPattern Pattern(".*@example\\.com$");
  constexpr unsigned ThreadCount = 8;

  std::vector<std::string> Expected;
  for (const TSample &Sample : Samples)
    Expected.push_back(Describe(bw::JudgeBounce("", Sample.Content, {&Pattern})));

  bw::TCheckPool Pool(4);
  Pool.Start();
  // Each thread checks every message, starting at its own offset, so that
  // different messages and the same message both meet at the same time.
  std::vector<std::vector<std::string>> Seen(ThreadCount, std::vector<std::string>(Samples.size()));
  std::vector<std::thread> Threads;
  for (unsigned T = 0; T < ThreadCount; ++T)
    Threads.emplace_back([&, T] {
      for (std::size_t I = 0; I < Samples.size(); ++I) {
        const std::size_t Index = (I + T * Samples.size() / ThreadCount) % Samples.size();
        Seen[T][Index] = Describe(Pool.Run([&, Index] { return bw::JudgeBounce("", Samples[Index].Content, {&Pattern}); }));
      }
    });
  for (std::thread &Thread : Threads)
    Thread.join();

  for (unsigned T = 0; T < ThreadCount; ++T)
    for (std::size_t I = 0; I < Samples.size(); ++I)
      EXPECT_EQ(Seen[T][I], Expected[I]) << Samples[I].Name << " on thread " << T;
  EXPECT_EQ(Pool.Pending(), 0u);
  if (!HaveCorpus)
    std::cout << "[   NOTE   ] no corpus at " << BW_CORPUS_DIR << ": test fixtures only\n";
}

// Six connections ask a pool of two at once: never more than two checks run.
TEST(MilterConcurrencyTest, PoolRunsAtMostItsWorkersAtOnce) {
  bw::TCheckPool Pool(2);
  Pool.Start();
  std::atomic<int> Inside{0}, MostInside{0};
  std::vector<std::thread> Threads;
  for (int T = 0; T < 6; ++T)
    Threads.emplace_back([&] {
      const bw::TCheckOutcome Outcome = Pool.Run([&] {
        const int Now = ++Inside;
        int Most = MostInside.load();
        while (Now > Most && !MostInside.compare_exchange_weak(Most, Now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --Inside;
        return bw::TCheckOutcome{};
      });
      EXPECT_EQ(Outcome.Verdict, bw::cvNotBackscatter);
    });
  for (std::thread &Thread : Threads)
    Thread.join();
  EXPECT_LE(MostInside.load(), 2);  // how close it comes to 2 depends on scheduling
  EXPECT_GE(MostInside.load(), 1);
}

// Show that a connection that found the slot free runs its check itself and
// gets its verdict, while one queued behind it is answered at once when the
// pool is abandoned, and later ones are not run at all.
TEST(MilterConcurrencyTest, AbandonAnswersEveryWaitingConnectionAtOnce) {
  bw::TCheckPool Pool(1);
  Pool.Start();
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Started = false, Release = false;
  const auto Slow = [&] {
    std::unique_lock Lock(Mutex);
    Started = true;
    Changed.notify_all();
    Changed.wait(Lock, [&] { return Release; });
    bw::TCheckOutcome Outcome;
    Outcome.Verdict = bw::cvBackscatter;
    return Outcome;
  };
  bw::TCheckOutcome Running, Queued;
  std::thread RunningThread([&] { Running = Pool.Run(Slow); });
  {
    std::unique_lock Lock(Mutex);
    Changed.wait(Lock, [&] { return Started; });
  }
  bool QueuedRan = false;
  std::thread QueuedThread([&] { Queued = Pool.Run([&] { QueuedRan = true; return bw::TCheckOutcome{}; }); });
  while (Pool.Pending() < 2)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Pool.Abandon();
  QueuedThread.join();
  EXPECT_EQ(Queued.Verdict, bw::cvNotFinished);
  EXPECT_EQ(bw::VerdictText(Queued), "not finished (stopping)");
  EXPECT_EQ(Pool.Run([] { return bw::TCheckOutcome{}; }).Verdict, bw::cvNotFinished);
  {
    const std::lock_guard Lock(Mutex);
    Release = true;
  }
  Changed.notify_all();
  RunningThread.join();
  EXPECT_EQ(Running.Verdict, bw::cvBackscatter);
  EXPECT_FALSE(QueuedRan);
}

TEST(MilterConcurrencyTest, ACheckThatRaisesIsAnErrorNotACrash) {
  bw::TCheckPool Pool(1);
  Pool.Start();
  const bw::TCheckOutcome Outcome = Pool.Run([]() -> bw::TCheckOutcome { throw std::runtime_error("boom"); });
  EXPECT_EQ(Outcome.Verdict, bw::cvError);
  EXPECT_EQ(bw::VerdictText(Outcome), "error internal error \"boom\"");
}

} // namespace
