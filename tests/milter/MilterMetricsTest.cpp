// The milter's counts as sessions make them, the ledger's outages as the
// milter sees them, and the hourly summary line made of two readings.
#include "milter/MilterMetrics_un.h"

#include "MilterTestSupport.h"
#include "detector/BackscatterDetector_un.h"
#include "ledger/LedgerOpen_un.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using namespace bwtest;

// A real ledger that has covered its retention for long, and answers
// nothing while it is down.
class TSwitchedStore final : public TForwardingStore {
public:
  TSwitchedStore(const std::filesystem::path &APath, std::atomic<bool> &ADown)
      : TForwardingStore(Lmdb(APath)), FDown(ADown) {}
  bw::TLookupResult ContainsAny(std::span<const bw::TLedgerKey> AKeys) override {
    return FDown ? bw::lrUnknown : TForwardingStore::ContainsAny(AKeys);
  }
  bw::TRecordResult RecordDurably(const bw::TLedgerKey &AKey, bw::TLedgerTime ATime) override {
    return FDown ? bw::rrUnavailable : TForwardingStore::RecordDurably(AKey, ATime);
  }
  std::optional<bw::TLedgerTime> StartTime() override { return bw::LedgerNow() - std::chrono::days(100); }

private:
  static std::unique_ptr<bw::ILedgerStore> Lmdb(const std::filesystem::path &APath) {
    bw::TLedgerOptions Options;
    Options.Uri = "lmdb:" + APath.string();
    Options.Opening = bw::loTolerate;
    return bw::OpenLedgerStore(Options, [](const std::string &) {});
  }
  std::atomic<bool> &FDown;
};

TEST(MilterMetricsTest, SessionsCountMessagesVerdictsRulesActionsAndCheckTimes) {
  TMilter Milter({Pattern});
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  TMessage Big = LoadMessage("bounce-of-forged-message.eml");
  Big.Body += std::string(bw::TBackscatterDetector::MaxMessageSize, 'x');
  Send(Session, Reply, "<>", LoadMessage("bounce-of-forged-message.eml"));
  Send(Session, Reply, "<>", LoadMessage("bounce-of-own-message.eml"));
  Send(Session, Reply, "<carol@example.org>", LoadMessage("forwarded-message.eml"));
  Send(Session, Reply, "<>", Big);
  const bw::TMetricsReading Reading = Milter.Context->Metrics().Read();
  EXPECT_EQ(Reading.Messages[0], 1u);
  EXPECT_EQ(Reading.Messages[1], 3u);
  EXPECT_EQ(Reading.Verdicts[bw::vlBackscatter][bw::drPattern][bw::alReject], 1u);
  EXPECT_EQ(Reading.Verdicts[bw::vlNotBackscatter][bw::drPattern][bw::alAccept], 1u);
  EXPECT_EQ(Reading.Verdicts[bw::vlTooLarge][bw::drNone][bw::alAccept], 1u);
  std::uint64_t Checks = 0;
  for (const std::uint64_t Count : Reading.CheckTimes)
    Checks += Count;
  EXPECT_EQ(Checks, 2u);
  EXPECT_EQ(bw::SummaryText(Reading - bw::TMetricsReading{}, std::chrono::seconds(3600)),
            "summary of the last 3600 s: messages=4 (bounces=3), verdicts: backscatter=1 not-backscatter=1 "
            "too-large=1, rules: none=1 pattern=2, actions: accept=2 reject=1, errors: none");
  // The next summary counts only what came since the last reading.
  Send(Session, Reply, "<>", LoadMessage("bounce-of-forged-message.eml"));
  EXPECT_EQ(bw::SummaryText(Milter.Context->Metrics().Read() - Reading, std::chrono::seconds(3600)),
            "summary of the last 3600 s: messages=1 (bounces=1), verdicts: backscatter=1, rules: pattern=1, "
            "actions: reject=1, errors: none");
}

TEST(MilterMetricsTest, ALedgerThatStopsAnsweringIsOneOutageAndEachBounceWithoutItAGap) {
  std::atomic<bool> Down{false};
  const TScratchFolder Scratch;
  TMilter Milter({Pattern, "--ledger=lmdb:/unused"}, std::make_unique<TSwitchedStore>(Scratch / "ledger", Down));
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  const TMessage Forged = LoadMessage("bounce-of-forged-message.eml");
  // While it is down, the bounce that only it could show to be ours waits
  // (--on-ledger-outage's tempfail).
  for (const bool IsDown : {false, true, true, false, true}) {
    Down = IsDown;
    EXPECT_EQ(Send(Session, Reply, "<>", Forged), TAnswer(IsDown ? bw::msTempfail : bw::msReject, "eom"));
  }
  const bw::TMetricsReading Reading = Milter.Context->Metrics().Read();
  EXPECT_EQ(Reading.Lookups[bw::leAbsent - bw::leFound], 2u);
  EXPECT_EQ(Reading.Lookups[bw::leUnknown - bw::leFound], 3u);
  EXPECT_EQ(Reading.Gaps[bw::grUnavailable], 3u);
  EXPECT_EQ(Reading.Outages, 2u);
  EXPECT_EQ(Reading.Verdicts[bw::vlDeferred][bw::drLedger][bw::alTempfail], 3u);
}

} // namespace
