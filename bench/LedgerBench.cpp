// The ledger's stores on one thread: LMDB lookups (IDs that are there and
// IDs that are not) and inserts at 10^4, 10^6 and 10^7 entries, the bytes an
// entry takes on disk, the keyed hash, and Redis lookups on a local unix
// socket as percentiles.
//
// The ledgers are built once per size in BW_LEDGER_BENCH_DIR (default: a
// fresh folder under /tmp, removed at the end) through the store's own
// Record, outside the timed loops. Run with --benchmark_filter to leave out
// the 10^7 sizes: building that ledger writes about 0.5 GB.
#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerOpen_un.h"
#include "support/RedisServer.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The key of entry AIndex: two rounds of splitmix64, so keys are spread as
// hashed IDs are and any entry's key can be made again for a lookup.
bw::TLedgerKey BenchKey(std::uint64_t AIndex) {
  bw::TLedgerKey Key;
  std::uint64_t State = AIndex * 2 + 1;
  for (int Half = 0; Half < 2; ++Half) {
    std::uint64_t Z = (State += 0x9E3779B97F4A7C15ULL);
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBULL;
    Z ^= Z >> 31;
    std::memcpy(Key.data() + Half * 8, &Z, 8);
  }
  return Key;
}

// Indexes of entries that are never recorded.
constexpr std::uint64_t MissBase = std::uint64_t(1) << 40;

class TBenchFolder {
public:
  TBenchFolder() {
    if (const char *Given = std::getenv("BW_LEDGER_BENCH_DIR")) {
      FPath = Given;
      std::filesystem::create_directories(FPath);
      return;
    }
    std::string Template = "/tmp/bw-ledger-bench-XXXXXX";
    if (::mkdtemp(Template.data()))
      FPath = Template;
    FOwned = true;
  }
  ~TBenchFolder() {
    std::error_code Ignored;
    if (FOwned)
      std::filesystem::remove_all(FPath, Ignored);
  }
  std::string operator/(const std::string &AName) const { return (FPath / AName).string(); }

private:
  std::filesystem::path FPath;
  bool FOwned = false;
};

TBenchFolder &Folder() {
  static TBenchFolder Instance;
  return Instance;
}

struct TBenchLedger {
  std::unique_ptr<bw::ILedgerStore> Store;
  std::uint64_t Entries = 0;   // recorded so far, inserts included
  std::uint64_t FileBytes = 0; // of the file once the first Entries were in
};

// The LMDB ledger of AEntries entries, built on first use and kept open:
// one environment per file and process.
TBenchLedger &Ledger(std::uint64_t AEntries) {
  static std::map<std::uint64_t, TBenchLedger> Ledgers;
  TBenchLedger &Ledger = Ledgers[AEntries];
  if (Ledger.Store)
    return Ledger;
  bw::TLedgerOptions Options;
  const std::string Path = Folder() / ("ledger-" + std::to_string(AEntries));
  Options.Uri = "lmdb:" + Path;
  Options.MapSize = std::uint64_t(4) << 30;  // room to measure, whatever an entry takes
  Options.SweepInterval = 0ms;
  Ledger.Store = bw::OpenLedgerStore(Options, {});
  const bw::TLedgerTime Now = bw::LedgerNow();
  for (std::uint64_t I = 0; I < AEntries; ++I) {
    Ledger.Store->Record(BenchKey(I), Now);
    if (I % 100000 == 99999 && Ledger.Store->Flush() != bw::rrAccepted)
      std::abort();
  }
  if (Ledger.Store->Flush() != bw::rrAccepted)
    std::abort();
  Ledger.Entries = AEntries;
  Ledger.FileBytes = std::filesystem::file_size(Path);
  return Ledger;
}

void BM_LmdbLookupFound(benchmark::State &AState) {
  TBenchLedger &Bench = Ledger(static_cast<std::uint64_t>(AState.range(0)));
  std::uint64_t Index = 0;
  for (auto _ : AState) {
    // A stride prime to every size: each lookup lands on another page.
    Index = (Index + 7919) % Bench.Entries;
    if (Bench.Store->Contains(BenchKey(Index)) != bw::lrFound)
      AState.SkipWithError("an entry was not found");
  }
  AState.SetItemsProcessed(static_cast<std::int64_t>(AState.iterations()));
}

void BM_LmdbLookupAbsent(benchmark::State &AState) {
  TBenchLedger &Bench = Ledger(static_cast<std::uint64_t>(AState.range(0)));
  std::uint64_t Index = MissBase;
  for (auto _ : AState)
    if (Bench.Store->Contains(BenchKey(++Index)) != bw::lrAbsent)
      AState.SkipWithError("an absent entry was found");
  AState.SetItemsProcessed(static_cast<std::int64_t>(AState.iterations()));
}

// Records, each committed within a batch of 1000 (Flush every 1000, as a
// busy writer thread would): the time includes the synced commits.
void BM_LmdbInsert(benchmark::State &AState) {
  TBenchLedger &Bench = Ledger(static_cast<std::uint64_t>(AState.range(0)));
  const bw::TLedgerTime Now = bw::LedgerNow();
  std::uint64_t Done = 0;
  for (auto _ : AState) {
    Bench.Store->Record(BenchKey(Bench.Entries++), Now);
    if (++Done % 1000 == 0 && Bench.Store->Flush() != bw::rrAccepted)
      AState.SkipWithError("a batch was not committed");
  }
  Bench.Store->Flush();
  AState.SetItemsProcessed(static_cast<std::int64_t>(AState.iterations()));
}

// The file's size over its entries, right after they were recorded.
void BM_LmdbBytesPerEntry(benchmark::State &AState) {
  TBenchLedger &Bench = Ledger(static_cast<std::uint64_t>(AState.range(0)));
  for (auto _ : AState)
    benchmark::DoNotOptimize(Bench.FileBytes);
  AState.counters["bytes_per_entry"] =
      static_cast<double>(Bench.FileBytes) / static_cast<double>(AState.range(0));
  AState.counters["file_MiB"] = static_cast<double>(Bench.FileBytes) / (1 << 20);
}

void BM_KeyOf(benchmark::State &AState) {
  const bw::TLedgerHasher Hasher(std::string(32, 'k'));
  const std::string Id = "20261207140713.4711.abcdef@mail.example.com";
  for (auto _ : AState)
    benchmark::DoNotOptimize(Hasher.KeyOf(Id));
}

void BM_RedisLookup(benchmark::State &AState) {
  ::signal(SIGPIPE, SIG_IGN);
  const bwtest::TRedisServer Server(Folder() / "");
  bw::TLedgerOptions Options;
  Options.Uri = "redis+unix:" + Server.Socket();
  Options.Opening = bw::loTolerate;
  Options.RetryDelay = 50ms;
  const auto Store = bw::OpenLedgerStore(Options, {});
  bool Up = false;
  for (int Try = 0; Try < 100 && Server.Started() && !Up; ++Try) {
    std::this_thread::sleep_for(50ms);
    Up = Store->Record(BenchKey(0), bw::LedgerNow()) == bw::rrAccepted;
  }
  if (!Up) {
    AState.SkipWithError("no redis-server could be started");
    return;
  }
  constexpr std::uint64_t Entries = 10000;
  for (std::uint64_t I = 1; I < Entries; ++I)
    Store->Record(BenchKey(I), bw::LedgerNow());
  std::vector<double> Micros;
  std::uint64_t Index = 0;
  for (auto _ : AState) {
    const auto Begin = std::chrono::steady_clock::now();
    const bw::TLookupResult Found = Store->Contains(BenchKey(Index++ % Entries));
    Micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Begin).count());
    if (Found != bw::lrFound)
      AState.SkipWithError("an entry was not found");
  }
  std::sort(Micros.begin(), Micros.end());
  AState.counters["p50_us"] = Micros[Micros.size() / 2];
  AState.counters["p99_us"] = Micros[Micros.size() * 99 / 100];
}

void Sizes(benchmark::internal::Benchmark *ABenchmark) {
  for (const std::int64_t Entries : {10000, 1000000, 10000000})
    ABenchmark->Arg(Entries);
}

} // namespace

// Lookups first: the inserts add to the same ledgers.
BENCHMARK(BM_LmdbBytesPerEntry)->Apply(Sizes)->Iterations(1);
BENCHMARK(BM_LmdbLookupFound)->Apply(Sizes)->UseRealTime();
BENCHMARK(BM_LmdbLookupAbsent)->Apply(Sizes)->UseRealTime();
BENCHMARK(BM_LmdbInsert)->Apply(Sizes)->Iterations(20000)->UseRealTime();  // the writer thread does the work
BENCHMARK(BM_KeyOf);
BENCHMARK(BM_RedisLookup)->Iterations(100000)->UseRealTime();

BENCHMARK_MAIN();
