// Helpers of the session tests: a recording stand-in for libmilter's side of
// a connection, a log that keeps its lines, a context made from a command
// line (with a ledger when one is given), and messages sent as an MTA would.
#pragma once

#include "milter/MilterSession_un.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <span>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace bwtest {

using bw::TMilterStatus;

// Records every request; answers "done" unless told to refuse.
class TFakeReply final : public bw::TMilterReply {
public:
  bool SetReply(const std::string &ACode, const std::string &AStatus, const std::string &AText) override {
    Calls.push_back("reply " + ACode + " " + AStatus + " " + AText);
    return true;
  }
  bool Quarantine(const std::string &AReason) override {
    Calls.push_back("quarantine " + AReason);
    return true;
  }
  bool AddHeader(const std::string &AName, const std::string &AValue) override {
    Calls.push_back("add " + AName + ":" + AValue);
    return true;
  }
  bool RemoveHeader(const std::string &AName, unsigned AIndex) override {
    Calls.push_back("remove " + AName + " " + std::to_string(AIndex));
    return true;
  }
  bool ChangeSender(const std::string &AAddress) override {
    Calls.push_back("sender " + AAddress);
    return true;
  }
  std::string MacroValue(const std::string &AName) override {
    if (AName == "i")
      return QueueID;
    const auto Found = Macros.find(AName);
    return Found == Macros.end() ? "" : Found->second;
  }

  std::string QueueID = "Q1";
  std::map<std::string, std::string> Macros;
  std::vector<std::string> Calls;
};

// Keeps the lines instead of writing them.
class TMemoryLog final : public bw::TMilterLog {
public:
  TMemoryLog() : TMilterLog(bw::ltStderr) {}
  std::vector<std::string> Lines() {
    const std::lock_guard Lock(FMutex);
    return FLines;
  }

protected:
  void Emit(const std::string &ALine, bool) noexcept override {
    const std::lock_guard Lock(FMutex);
    FLines.push_back(ALine);
  }

private:
  std::mutex FMutex;
  std::vector<std::string> FLines;
};

// A store that hands every call to a real one, for stand-ins that change
// one or two of its answers.
class TForwardingStore : public bw::ILedgerStore {
public:
  explicit TForwardingStore(std::unique_ptr<bw::ILedgerStore> AInner) : FInner(std::move(AInner)) {}
  bw::TLookupResult ContainsAny(std::span<const bw::TLedgerKey> AKeys) override { return FInner->ContainsAny(AKeys); }
  bw::TRecordResult Record(const bw::TLedgerKey &AKey, bw::TLedgerTime ATime) override {
    return FInner->Record(AKey, ATime);
  }
  bw::TRecordResult RecordDurably(const bw::TLedgerKey &AKey, bw::TLedgerTime ATime) override {
    return FInner->RecordDurably(AKey, ATime);
  }
  bw::TRecordResult RecordWaiting(const bw::TLedgerKey &AKey, bw::TLedgerTime ATime) override {
    return FInner->RecordWaiting(AKey, ATime);
  }
  bw::TRecordResult Flush() override { return FInner->Flush(); }
  bw::TSweepResult Sweep(std::size_t ABudget) override { return FInner->Sweep(ABudget); }
  bw::TLedgerStats Stats() override { return FInner->Stats(); }
  std::optional<bw::TLedgerTime> StartTime() override { return FInner->StartTime(); }
  std::optional<bw::TLedgerTime> CoverSince() override { return FInner->CoverSince(); }
  bw::TRecordResult SetCoverSince(bw::TLedgerTime ASince) override { return FInner->SetCoverSince(ASince); }
  std::optional<std::string> Fingerprint() override { return FInner->Fingerprint(); }
  bw::TRecordResult SetFingerprint(std::string_view AFingerprint) override {
    return FInner->SetFingerprint(AFingerprint);
  }
  bw::TRecordResult Heartbeat(std::string_view ARecorder, bw::TLedgerTime ANow) override {
    return FInner->Heartbeat(ARecorder, ANow);
  }
  std::optional<bw::TLedgerTime> LastHeartbeat(std::string_view ARecorder) override {
    return FInner->LastHeartbeat(ARecorder);
  }
  std::optional<std::vector<bw::TLedgerHeartbeat>> Heartbeats() override { return FInner->Heartbeats(); }
  bw::TRecordResult RetireRecorder(std::string_view ARecorder) override { return FInner->RetireRecorder(ARecorder); }
  bw::TRecordResult RecordGap(const bw::TLedgerGap &AGap) override { return FInner->RecordGap(AGap); }
  std::optional<std::vector<bw::TLedgerGap>> Gaps(bw::TLedgerTime ASince) override { return FInner->Gaps(ASince); }
  std::optional<bw::TLedgerTime> LastLostRecords() const override { return FInner->LastLostRecords(); }

private:
  std::unique_ptr<bw::ILedgerStore> FInner;
};

// The key every test ledger is hashed with.
inline const std::string TestLedgerKey(32, 'k');

// A context from a command line, its workers started; with AStore, the
// ledger attached as the daemon attaches it (keyed with TestLedgerKey), and
// the recipient rules when an option asks for them.
struct TMilter {
  explicit TMilter(std::vector<std::string> AArgs, std::unique_ptr<bw::ILedgerStore> AStore = nullptr) {
    AArgs.insert(AArgs.begin(), "--workers=2");
    bw::TMilterParseResult Parsed = bw::ParseMilterOptions(AArgs);
    EXPECT_EQ(Parsed.Request, bw::mrRun) << Parsed.Message;
    auto OwnedLog = std::make_unique<TMemoryLog>();
    Log = OwnedLog.get();
    const std::chrono::days Retention(Parsed.Options.Ledger.RetentionDays);
    Context = std::make_unique<bw::TMilterContext>(std::move(Parsed.Options), std::move(OwnedLog));
    if (AStore)
      Context->AttachLedger(std::make_unique<bw::TLedgerJudge>(
          std::move(AStore), bw::TLedgerHasher(TestLedgerKey), bw::TLedgerJudgeSettings{Retention, {}, "this-host", {}}));
    if (Context->Options().Batv.Any())
      Context->AttachRecipients(bw::OpenRecipientJudge(Context->Options().Batv));
    Context->Checks().Start();
  }
  TMemoryLog *Log;
  std::unique_ptr<bw::TMilterContext> Context;
};

struct TMessage {
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
};

// A fixture as an MTA hands it over: each header's raw value (the space after
// the colon kept, folds as LF), and the body with CR LF line ends.
inline TMessage LoadMessage(const std::string &AName) {
  const std::string File = ReadFixture("integration/" + AName);
  const std::size_t End = File.find("\n\n");
  TMessage Message;
  std::size_t Position = 0;
  while (Position <= End) {
    std::size_t LineEnd = File.find('\n', Position);
    while (LineEnd < End && (File[LineEnd + 1] == ' ' || File[LineEnd + 1] == '\t'))
      LineEnd = File.find('\n', LineEnd + 1);
    const std::string Field = File.substr(Position, LineEnd - Position);
    const std::size_t Colon = Field.find(':');
    Message.Headers.emplace_back(Field.substr(0, Colon), Field.substr(Colon + 1));
    Position = LineEnd + 1;
  }
  Message.Body = WithLineEnds(File.substr(End + 2), "\r\n");
  return Message;
}

inline const std::string Pattern = "--pattern=.*@example\\.com$";

// Sends one message as the MTA would, and returns the first answer other
// than "continue" (or "no reply" to a header) with the step that gave it; a
// "skip" during the body goes on to the end of message, as the MTA does.
inline std::pair<TMilterStatus, std::string> Send(bw::TMilterSession &ASession, TFakeReply &AReply,
                                                  const std::string &ASender, const TMessage &AMessage,
                                                  bool AEndOfHeaders = true) {
  TMilterStatus Status = ASession.OnEnvFrom(AReply, ASender);
  if (Status != bw::msContinue)
    return {Status, "mail"};
  for (const auto &[Name, Value] : AMessage.Headers)
    ASession.OnHeader(Name, Value);
  if (AEndOfHeaders && (Status = ASession.OnEndOfHeaders(AReply)) != bw::msContinue)
    return {Status, "eoh"};
  for (std::size_t First = 0; First < AMessage.Body.size(); First += 65535) {
    Status = ASession.OnBody(AReply, std::string_view(AMessage.Body).substr(First, 65535));
    if (Status == bw::msSkip)
      break;
    if (Status != bw::msContinue)
      return {Status, "body"};
  }
  return {ASession.OnEndOfMessage(AReply), "eom"};
}

inline bw::TMilterSession NewSession(TMilter &AMilter, bool ACanSkip = true) {
  return bw::TMilterSession(*AMilter.Context, {bw::hvAsReceived, /*HeaderReplies=*/false, ACanSkip});
}

using TAnswer = std::pair<TMilterStatus, std::string>;

} // namespace bwtest
