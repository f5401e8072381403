// The whole check in-process, next to GMime's own parse of the same bytes;
// the milter's check with its ledger next to the pattern alone; a bounce
// decided at RCPT next to one judged by its content.
#include "BenchInputs.h"

#include "automation/runtime/AutomationRuntime_un.h"
#include "detector/BackscatterDetector_un.h"
#include "ledger/LedgerOpen_un.h"
#include "milter/MilterPool_un.h"
#include "milter/MilterSession_un.h"
#include "verdict/BatvSettings_un.h"
#include "verdict/BatvTag_un.h"
#include "verdict/Verdict_un.h"
#include "regex/RegexMatch_un.h"
#include "rtl/Charset_un.h"
#include "support/MessageCheck.h"
#include "support/RedisServer.h"

#include <benchmark/benchmark.h>
#include <gmime/gmime.h>

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <chrono>
#include <iterator>
#include <thread>

namespace {

const std::string Pattern = ".*@example\\.com$";

struct TInput {
  std::string Content;
  std::string Path;
};

TInput MakeInput(const std::string &AName, std::string AContent) {
  const std::string Path = "/tmp/bw-bench-" + std::to_string(::getpid()) + "-" + AName;
  std::ofstream(Path, std::ios::binary) << AContent;
  return {std::move(AContent), Path};
}

const TInput &Input(int AIndex) {
  static const TInput Inputs[] = {
      MakeInput("dsn-20k.eml", bwbench::MakeDsn(20000)),
      MakeInput("dsn-511999.eml", bwbench::MakeDsn(511999)),
      MakeInput("plain-bounce.eml", bwbench::MakePlainBounce()),
  };
  return Inputs[AIndex];
}

const char *const InputNames[] = {"dsn-20k", "dsn-511999", "plain-bounce"};

void BM_Check(benchmark::State &AState) {
  const TInput &In = Input(static_cast<int>(AState.range(0)));
  AState.SetLabel(InputNames[AState.range(0)]);
  for (auto _ : AState)
    benchmark::DoNotOptimize(bw::TBackscatterDetector::IsBackscatter("", In.Path, Pattern));
  AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations() * In.Content.size()));
}

void BM_GMimeParse(benchmark::State &AState) {
  const TInput &In = Input(static_cast<int>(AState.range(0)));
  AState.SetLabel(InputNames[AState.range(0)]);
  for (auto _ : AState) {
    GMimeStream *Stream = g_mime_stream_mem_new_with_buffer(In.Content.data(), In.Content.size());
    GMimeParser *Parser = g_mime_parser_new_with_stream(Stream);
    GMimeMessage *Message = g_mime_parser_construct_message(Parser, nullptr);
    benchmark::DoNotOptimize(Message);
    if (Message)
      g_object_unref(Message);
    g_object_unref(Parser);
    g_object_unref(Stream);
  }
  AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations() * In.Content.size()));
}

// Patterns that backtrack catastrophically against a long attacker-chosen
// Message-ID: each must end at PCRE's match or recursion limit, as no match.
const char *const PathologicalPatterns[] = {"(a+)+$", ".*.*.*.*.*.*.*.*@x$", "(a*)*b", "(?:a|b)*c"};

void BM_PathologicalPattern(benchmark::State &AState) {
  const char *Pattern = PathologicalPatterns[AState.range(0)];
  const std::u16string Subject = std::u16string(static_cast<std::size_t>(AState.range(1)), u'a') + u'!';
  const std::u16string Wide(Pattern, Pattern + std::char_traits<char>::length(Pattern));
  std::int32_t Result = 0;
  for (auto _ : AState)
    benchmark::DoNotOptimize(Result = bw::RegexMatch(Subject, Wide));
  AState.SetLabel(std::string(Pattern) + " -> " + std::to_string(Result));
}

// The milter's check of one message as it arrives over SMTP (CR LF line
// ends), from the file named by BW_BENCH_MESSAGE (bench/load.sh hands its
// bounce): 0 the check as a worker runs it (the pattern compiled once);
// 1 the same through a pool of one worker, as a connection asks for it (the
// hand-over to the worker and back); 2 the detector's own entry with the
// pattern compiled for the message, as the milter did before it had a
// process-lifetime context; 3 the check of 0 after 20 ms of idleness (not
// timed), as a milter meets a bounce between others: the caches and the
// core have gone cold meanwhile, which alone makes it several times slower.
void BM_MilterCheck(benchmark::State &AState) {
  const char *File = std::getenv("BW_BENCH_MESSAGE");
  if (!File) {
    AState.SkipWithError("BW_BENCH_MESSAGE names no file");
    return;
  }
  std::ifstream Stream(File, std::ios::binary);
  const std::string Content((std::istreambuf_iterator<char>(Stream)), std::istreambuf_iterator<char>());
  static const bw::TMessageIdPattern Compiled(Pattern);
  static bw::TCheckPool Pool(1);
  static const bool Started = (Pool.Start(), true);
  (void)Started;
  const char *const Labels[] = {"worker", "pool", "compile per message", "after 20 ms idle"};
  AState.SetLabel(Labels[AState.range(0)]);
  for (auto _ : AState) {
    switch (AState.range(0)) {
    case 0:
      benchmark::DoNotOptimize(bw::JudgeBounce("", Content, {&Compiled}));
      break;
    case 1:
      benchmark::DoNotOptimize(Pool.Run([&] { return bw::JudgeBounce("", Content, {&Compiled}); }));
      break;
    case 3:
      AState.PauseTiming();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      AState.ResumeTiming();
      benchmark::DoNotOptimize(bw::JudgeBounce("", Content, {&Compiled}));
      break;
    default:
      benchmark::DoNotOptimize(bwtest::CheckMessage("", Content, bw::TMessageIdPattern(Pattern)));
    }
  }
  AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations() * Content.size()));
}

// The milter's check of the 20 kB bounce (or BW_BENCH_MESSAGE) by its rules:
// 0 the pattern alone; with an LMDB ledger of 10^4 entries beside it (the
// union), 1 the returned ID in the ledger (no pattern asked) and 2 not in it
// (the pattern then decides, as for backscatter); 3 the returned ID in a
// Redis ledger on a unix socket; 4 under --ledger-only, a ledger that covers
// its retention without the ID (its gaps and cover date looked at, as they
// are cached). The ledger's rules read the returned header blocks too. p50
// and p99 of each check's wall time.
void BM_LedgerCheck(benchmark::State &AState) {
  ::signal(SIGPIPE, SIG_IGN);
  std::string Content = bwbench::MakeDsn(20000);
  if (const char *File = std::getenv("BW_BENCH_MESSAGE")) {
    std::ifstream Stream(File, std::ios::binary);
    Content.assign(std::istreambuf_iterator<char>(Stream), std::istreambuf_iterator<char>());
  }
  static const bw::TMessageIdPattern Compiled(Pattern);
  const std::string Folder = "/tmp/bw-bench-ledger-" + std::to_string(::getpid()) + "-" + std::to_string(AState.range(0));
  std::filesystem::create_directories(Folder);
  const bw::TLedgerHasher Hasher(std::string(32, 'k'));
  std::unique_ptr<bwtest::TRedisServer> Redis;
  bw::TLedgerOptions Options;
  Options.Opening = bw::loTolerate;
  Options.Uri = "lmdb:" + Folder + "/ledger";
  if (AState.range(0) == 3) {
    Redis = std::make_unique<bwtest::TRedisServer>(Folder);
    Options.Uri = "redis+unix:" + Redis->Socket();
  }
  std::unique_ptr<bw::TLedgerJudge> Ledger;
  if (AState.range(0) > 0) {
    Ledger = std::make_unique<bw::TLedgerJudge>(bw::OpenLedgerStore(Options, {}), Hasher, std::chrono::days(14));
    for (int I = 0; I < 10000; ++I)
      Ledger->Record("filler." + std::to_string(I) + "@example.com");
    if (AState.range(0) == 1 || AState.range(0) == 3)
      for (const std::u16string &Id : bw::TBackscatterDetector::ReturnedMessageIDs("", Content))
        Ledger->Record(bw::WideToUtf8(Id));
    Ledger->Store().Flush();
    Ledger->Store().SetCoverSince(bw::LedgerNow() - std::chrono::days(30));
  }
  const bw::TJudges Rules{&Compiled, Ledger.get(), AState.range(0) == 4};
  const char *const Labels[] = {"pattern alone", "LMDB: in the ledger", "LMDB: not in it, then the pattern",
                                "Redis: in the ledger", "LMDB, ledger only: not in it, covered, no gap"};
  AState.SetLabel(Labels[AState.range(0)]);
  const bool Absent = AState.range(0) == 0 || AState.range(0) == 2 || AState.range(0) == 4;
  const bw::TCheckVerdict Expected = Absent ? bw::cvBackscatter : bw::cvNotBackscatter;
  std::vector<double> Micros;
  for (auto _ : AState) {
    const auto Begin = std::chrono::steady_clock::now();
    const bw::TDecision Outcome = bw::JudgeBounce("", Content, Rules);
    Micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Begin).count());
    if (Outcome.Verdict != Expected) {
      AState.SkipWithError("unexpected verdict (redis-server missing?)");
      break;
    }
  }
  Ledger.reset();
  Redis.reset();
  std::filesystem::remove_all(Folder);
  if (Micros.empty())
    return;
  std::sort(Micros.begin(), Micros.end());
  AState.counters["p50_us"] = Micros[Micros.size() / 2];
  AState.counters["p99_us"] = Micros[Micros.size() * 99 / 100];
}

// Takes every request, answers nothing: the MTA's side of a session.
class TNullReply final : public bw::TMilterReply {
public:
  bool SetReply(const std::string &, const std::string &, const std::string &) override { return true; }
  bool Quarantine(const std::string &) override { return true; }
  bool AddHeader(const std::string &, const std::string &) override { return true; }
  bool RemoveHeader(const std::string &, unsigned) override { return true; }
  std::string MacroValue(const std::string &) override { return {}; }
  bool ChangeSender(const std::string &) override { return true; }
};

class TNullLog final : public bw::TMilterLog {
public:
  TNullLog() : TMilterLog(bw::ltStderr) {}

protected:
  void Emit(const std::string &, bool) noexcept override {}
};

// A bounce decided at RCPT against one judged by its content, through the
// milter's session as libmilter drives it (the 20 kB forged bounce, CR LF
// line ends, --batv-verify): 0 a forged tag, refused at RCPT (MAIL, RCPT,
// abort); 1 a valid tag, accepted at end of headers without a check (MAIL,
// RCPT, headers); 2 an untagged recipient, the message judged by its content
// and refused at its end (MAIL, RCPT, headers, body, end of message).
void BM_BounceAtRcpt(benchmark::State &AState) {
  static const std::string KeyFile = [] {
    const std::string Path = "/tmp/bw-bench-batv-" + std::to_string(::getpid()) + ".key";
    std::ofstream(Path) << "0123456789abcdef0123456789abcdef\n";
    return Path;
  }();
  static bw::TMilterContext *Context = [] {
    const std::vector<std::string> Args = {"--pattern=" + Pattern, "--workers=1", "--batv-verify",
                                           "--batv-key-file=" + KeyFile};
    auto *Made = new bw::TMilterContext(bw::ParseMilterOptions(Args).Options, std::make_unique<TNullLog>());
    Made->AttachRecipients(bw::OpenRecipientJudge(Made->Options().Batv));
    Made->Checks().Start();
    std::remove(KeyFile.c_str());
    return Made;
  }();
  // The bounce as the MTA hands it over: each header's raw value, then the body.
  const std::string Dsn = bwbench::MakeDsn(20000);
  const std::size_t End = Dsn.find("\n\n");
  std::vector<std::pair<std::string, std::string>> Headers;
  for (std::size_t Start = 0; Start <= End;) {
    std::size_t LineEnd = Dsn.find('\n', Start);
    while (LineEnd < End && (Dsn[LineEnd + 1] == ' ' || Dsn[LineEnd + 1] == '\t'))
      LineEnd = Dsn.find('\n', LineEnd + 1);
    const std::string Field = Dsn.substr(Start, LineEnd - Start);
    Headers.emplace_back(Field.substr(0, Field.find(':')), Field.substr(Field.find(':') + 1));
    Start = LineEnd + 1;
  }
  std::string Body;
  for (const char C : Dsn.substr(End + 2))
    Body += C == '\n' ? std::string("\r\n") : std::string(1, C);
  const bw::TBatvKey Key("0123456789abcdef0123456789abcdef");
  const std::int64_t Today = bw::BatvDay(std::chrono::system_clock::now());
  std::string Forged = bw::BatvSign(Key, 0, Today + 7, "alice@example.com");
  Forged[14] = Forged[14] == '0' ? '1' : '0';
  const std::string Recipient[] = {"<" + Forged + ">", "<" + bw::BatvSign(Key, 0, Today + 7, "alice@example.com") + ">",
                                   "<alice@example.com>"};
  const bw::TMilterStatus Expected[] = {bw::msReject, bw::msAccept, bw::msReject};
  const char *const Labels[] = {"forged tag, refused at RCPT", "valid tag, accepted at end of headers",
                                "untagged, judged by its content"};
  const int Case = static_cast<int>(AState.range(0));
  AState.SetLabel(Labels[Case]);
  TNullReply Reply;
  bw::TMilterSession Session(*Context, {bw::hvAsReceived, /*HeaderReplies=*/false, /*CanSkipBody=*/true});
  for (auto _ : AState) {
    Session.OnEnvFrom(Reply, "<>");
    bw::TMilterStatus Status = Session.OnEnvRcpt(Reply, Recipient[Case]);
    if (Status == bw::msContinue) {
      for (const auto &[Name, Value] : Headers)
        Session.OnHeader(Name, Value);
      Status = Session.OnEndOfHeaders(Reply);
    }
    if (Status == bw::msContinue && (Status = Session.OnBody(Reply, Body)) == bw::msContinue)
      Status = Session.OnEndOfMessage(Reply);
    if (Case == 0)
      Session.OnAbort();
    if (Status != Expected[Case]) {
      AState.SkipWithError("unexpected answer");
      break;
    }
  }
}

BENCHMARK(BM_Check)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BounceAtRcpt)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LedgerCheck)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_MilterCheck)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PathologicalPattern)
    ->ArgsProduct({{0, 1, 2, 3}, {32, 500000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_GMimeParse)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  // The same heap settings as bouncewarden's main.
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  bw::TAutomationRuntime Runtime;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (int I = 0; I < 3; ++I)
    std::remove(Input(I).Path.c_str());
  return 0;
}
