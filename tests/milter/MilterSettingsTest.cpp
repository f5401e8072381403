// A reload: each transaction decided under the settings of its MAIL FROM on
// a connection that stays open, and what a new reading of the settings
// makes of the running ones (what waits for a restart, which ledger).
#include "milter/MilterSettings_un.h"

#include "MilterTestSupport.h"
#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerOpen_un.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace bwtest;

// Which judge a reloaded snapshot has.
enum TJudgeAfter { jaSame, jaNew, jaNone, jaRefused };

bw::TMilterParseResult Parsed(std::vector<std::string> AArgs) {
  bw::TMilterParseResult Result = bw::ParseMilterOptions(AArgs);
  EXPECT_EQ(Result.Request, bw::mrRun) << Result.Message;
  return Result;
}

TEST(MilterSettingsTest, ATransactionKeepsTheSettingsOfItsMailFromAcrossAReload) {
  TMilter Milter({Pattern});
  auto Session = NewSession(Milter);
  TFakeReply Reply;
  const TMessage Forged = LoadMessage("bounce-of-forged-message.eml");
  // Begun under the first pattern, ended after the reload.
  ASSERT_EQ(Session.OnEnvFrom(Reply, "<>"), bw::msContinue);
  for (const auto &[Name, Value] : Forged.Headers)
    Session.OnHeader(Name, Value);
  ASSERT_EQ(Session.OnEndOfHeaders(Reply), bw::msContinue);
  const bw::TMilterParseResult New = Parsed({"--pattern=.*@(forged-sender\\.)?example\\.(com|net)$"});
  const bw::TReload Reload = bw::ReloadSettings(*Milter.Context->Settings(), New, nullptr, nullptr, *Milter.Log);
  ASSERT_TRUE(Reload.Settings);
  EXPECT_TRUE(Reload.Lines.empty());
  Milter.Context->Install(Reload.Settings);
  ASSERT_EQ(Session.OnBody(Reply, Forged.Body), bw::msContinue);
  EXPECT_EQ(Session.OnEndOfMessage(Reply), bw::msReject);
  // The next one on the same connection, under the new pattern.
  EXPECT_EQ(Send(Session, Reply, "<>", Forged), TAnswer(bw::msAccept, "eom"));
  const std::vector<std::string> Lines = Milter.Log->Lines();
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_NE(Lines[0].find("verdict=backscatter"), std::string::npos) << Lines[0];
  EXPECT_NE(Lines[1].find("verdict=not backscatter"), std::string::npos) << Lines[1];
}

TEST(MilterSettingsTest, AReloadKeepsWhatOnlyARestartChangesAndReopensOnlyAChangedLedger) {
  const TScratchFolder Scratch;
  int Judges = 0;
  // Each a ledger of its own, keyed with AKey (its fingerprint written at
  // the first check).
  const auto Judge = [&](const std::string &AKey = TestLedgerKey, std::string APath = {}) {
    if (APath.empty())
      APath = Scratch / ("ledger-" + std::to_string(++Judges));
    bw::TLedgerOptions Options;
    Options.Uri = "lmdb:" + APath;
    Options.Opening = bw::loTolerate;
    return std::make_shared<bw::TLedgerJudge>(bw::OpenLedgerStore(Options, [](const std::string &) {}),
                                              bw::TLedgerHasher(AKey), std::chrono::days(14));
  };
  TMemoryLog Log;
  const bw::TMilterParseResult Start = Parsed({"--pattern=a", "--ledger=lmdb:/srv/l", "--listen=unix:/a"});
  std::shared_ptr<bw::TMilterSettings> Running = bw::MakeSettings(Start.Options, Start.Given);
  Running->Ledger = Judge();
  int Opened = 0;
  const bw::TLedgerOpener Open = [&](const bw::TMilterOptions &AOptions) {
    ++Opened;
    if (AOptions.Ledger.KeyFile == "/unreadable")
      throw bw::ELedgerKeyError("Cannot read the ledger key file \"/unreadable\"");
    if (AOptions.Ledger.KeyFile == "/other") {
      // A ledger that another key made, opened under this one.
      const std::string Path = Scratch / "other";
      Judge(std::string(32, 'o'), Path)->CheckKey(/*AMayWrite=*/true);
      return Judge(TestLedgerKey, Path);
    }
    return Judge();
  };
  const struct {
    std::vector<std::string> Args;
    TJudgeAfter Ledger;
    std::string Line;
  } Cases[] = {
      {{"--pattern=b", "--ledger=lmdb:/srv/l", "--listen=unix:/b", "--user=bw"}, jaSame,
       "only a restart applies it, so the running value stays: listen, user"},
      {{"--pattern=b", "--ledger=redis+unix:/run/redis.sock"}, jaNew, "listen"},
      {{"--pattern=b", "--ledger=lmdb:/srv/l", "--retention=30"}, jaSame, "its LMDB file opens anew only at a restart"},
      {{"--pattern=b", "--ledger=lmdb:/srv/other", "--ledger-key-file=/unreadable"}, jaRefused,
       "the running settings stay: Cannot read the ledger key file \"/unreadable\""},
      {{"--pattern=b", "--ledger=lmdb:/srv/other", "--ledger-key-file=/other"}, jaRefused,
       "the running settings stay: "},
      {{"--pattern=b"}, jaNone, "listen"},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Args.back());
    Opened = 0;
    const bw::TReload Reload = bw::ReloadSettings(*Running, Parsed(Case.Args), Open, nullptr, Log);
    std::string Lines;
    for (const std::string &Line : Reload.Lines)
      Lines += Line + "\n";
    EXPECT_NE(Lines.find(Case.Line), std::string::npos) << Lines;
    if (Case.Ledger == jaRefused) {
      EXPECT_FALSE(Reload.Settings);
      continue;
    }
    ASSERT_TRUE(Reload.Settings);
    EXPECT_EQ(Reload.Settings->Options.Listen, "unix:/a");
    EXPECT_TRUE(Reload.Settings->Options.User.empty());
    EXPECT_EQ(Reload.Settings->Given.at("listen"), "unix:/a");  // the next reload compares with what runs
    EXPECT_EQ(Reload.Settings->Options.Pattern, "b");
    EXPECT_EQ(Reload.Settings->Pattern->Regex().IsValid(), true);
    EXPECT_EQ(Reload.Settings->Ledger == Running->Ledger, Case.Ledger == jaSame);
    EXPECT_EQ(Reload.Settings->Ledger == nullptr, Case.Ledger == jaNone);
    EXPECT_EQ(Opened, Case.Ledger == jaNew ? 1 : 0);
    EXPECT_EQ(Reload.Settings->Options.Ledger.RetentionDays, 14u);
  }
}

} // namespace
