// The ledger's stores: LMDB lookups (IDs that are there and IDs that are
// not) and inserts at 10^4, 10^6 and 10^7 entries, the bytes an entry takes
// on disk, the keyed hash, durable records from 1, 8 and 32 threads at once
// (the group commit), an import of 10^6 records in one go, and Redis lookups
// on a local unix socket and behind a sentinel as percentiles.
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
#include <atomic>
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

// RecordDurably from as many threads as the run has, into one ledger: each
// call returns once its record is committed, and the records of callers
// that wait at once share a commit. Items per second over the wall time are
// records committed.
void BM_LmdbRecordDurably(benchmark::State &AState) {
  static std::unique_ptr<bw::ILedgerStore> Store;
  if (AState.thread_index() == 0 && !Store) {
    bw::TLedgerOptions Options;
    Options.Uri = "lmdb:" + Folder() / "durable";
    Options.SweepInterval = 0ms;
    Store = bw::OpenLedgerStore(Options, {});
  }
  static std::atomic<std::uint64_t> Next{std::uint64_t(1) << 50};
  for (auto _ : AState)
    if (Store->RecordDurably(BenchKey(Next++), bw::LedgerNow()) != bw::rrAccepted)
      AState.SkipWithError("a record was not committed");
  AState.SetItemsProcessed(static_cast<std::int64_t>(AState.iterations()));
}

// One import of 10^6 records through RecordWaiting, which waits for the
// writer when its queue is full, and the Flush after: the whole run's time.
void BM_LmdbImport(benchmark::State &AState) {
  constexpr std::uint64_t Records = 1000000;
  for (auto _ : AState) {
    AState.PauseTiming();
    std::filesystem::remove(Folder() / "import");
    std::filesystem::remove(Folder() / "import-lock");
    bw::TLedgerOptions Options;
    Options.Uri = "lmdb:" + Folder() / "import";
    Options.SweepInterval = 0ms;
    auto Store = bw::OpenLedgerStore(Options, {});
    AState.ResumeTiming();
    const bw::TLedgerTime Now = bw::LedgerNow();
    for (std::uint64_t I = 0; I < Records; ++I)
      if (Store->RecordWaiting(BenchKey(I), Now) != bw::rrAccepted)
        AState.SkipWithError("a record was refused");
    if (Store->Flush() != bw::rrAccepted)
      AState.SkipWithError("the import was not committed");
    AState.PauseTiming();
    if (Store->Stats().Entries != Records)
      AState.SkipWithError("entries are missing");
    Store.reset();
    AState.ResumeTiming();
  }
  AState.SetItemsProcessed(static_cast<std::int64_t>(AState.iterations() * Records));
}

// Up to 5 s for AStore to take a record: the server just started.
bool TakesRecords(bw::ILedgerStore &AStore) {
  for (int Try = 0; Try < 100; ++Try) {
    if (AStore.Record(BenchKey(0), bw::LedgerNow()) == bw::rrAccepted)
      return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// Lookups of 10^4 recorded entries through AStore, as p50 and p99 of each
// call's wall time.
void RedisLookups(benchmark::State &AState, bw::ILedgerStore &AStore) {
  constexpr std::uint64_t Entries = 10000;
  for (std::uint64_t I = 1; I < Entries; ++I)
    AStore.Record(BenchKey(I), bw::LedgerNow());
  std::vector<double> Micros;
  std::uint64_t Index = 0;
  for (auto _ : AState) {
    const auto Begin = std::chrono::steady_clock::now();
    const bw::TLookupResult Found = AStore.Contains(BenchKey(Index++ % Entries));
    Micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Begin).count());
    if (Found != bw::lrFound)
      AState.SkipWithError("an entry was not found");
  }
  std::sort(Micros.begin(), Micros.end());
  AState.counters["p50_us"] = Micros[Micros.size() / 2];
  AState.counters["p99_us"] = Micros[Micros.size() * 99 / 100];
}

void BM_RedisLookup(benchmark::State &AState) {
  ::signal(SIGPIPE, SIG_IGN);
  const bwtest::TRedisServer Server(Folder() / "");
  bw::TLedgerOptions Options;
  Options.Uri = "redis+unix:" + Server.Socket();
  Options.Opening = bw::loTolerate;
  Options.RetryDelay = 50ms;
  const auto Store = bw::OpenLedgerStore(Options, {});
  if (!Server.Started() || !TakesRecords(*Store)) {
    AState.SkipWithError("no redis-server could be started");
    return;
  }
  RedisLookups(AState, *Store);
}

// The same behind a sentinel: a master on 127.0.0.1 with one replica, the
// store finding it through the sentinel, records waiting for the replica.
void BM_RedisSentinelLookup(benchmark::State &AState) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<int> Ports = bwtest::FreeTcpPorts(3);
  for (const char *Name : {"master", "replica", "sentinel"})
    std::filesystem::create_directories(Folder() / Name);
  const std::string MasterPort = std::to_string(Ports.at(0));
  const bwtest::TRedisServer Master(Folder() / "master/", {"--port", MasterPort, "--repl-diskless-sync-delay", "0"});
  const bwtest::TRedisServer Replica(Folder() / "replica/", {"--port", std::to_string(Ports.at(1)), "--replicaof",
                                                             "127.0.0.1", MasterPort});
  const bwtest::TRedisSentinel Sentinel(Folder() / "sentinel/", Ports.at(2), "bench", Ports.at(0));
  bw::TLedgerOptions Options;
  Options.Uri = "redis+sentinel://127.0.0.1:" + std::to_string(Ports.at(2)) + "/bench";
  Options.Opening = bw::loTolerate;
  Options.RetryDelay = 50ms;
  const auto Store = bw::OpenLedgerStore(Options, {});
  if (!Sentinel.Started() || !TakesRecords(*Store)) {
    AState.SkipWithError("no sentinel, master and replica could be started");
    return;
  }
  RedisLookups(AState, *Store);
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
BENCHMARK(BM_LmdbRecordDurably)->Threads(1)->Threads(8)->Threads(32)->Iterations(2000)->UseRealTime();
BENCHMARK(BM_LmdbImport)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_RedisLookup)->Iterations(100000)->UseRealTime();
BENCHMARK(BM_RedisSentinelLookup)->Iterations(100000)->UseRealTime();

BENCHMARK_MAIN();
