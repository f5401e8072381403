// The decisions of one MTA connection.
#include "milter/MilterSession_un.h"

#include "detector/BackscatterDetector_un.h"
#include "verdict/BatvTag_un.h"

#include <chrono>
#include <cstdio>
#include <new>
#include <string>

namespace bw {

static const char *const QuarantineReason = "bouncewarden: backscatter";
// The MTA writes an added value as given when header values keep their
// leading space, and puts a space before it otherwise.
static const char *const TagHeaderValue = " backscatter";
static const std::string TooLargeVerdict =
    "not examined (too large: " + std::to_string(TBackscatterDetector::MaxMessageSize) + " bytes or more)";
static const char *const NotBounceVerdict = "not checked (not a bounce)";
// More copies of the tag than a genuine message carries: removing them costs
// the MTA time that grows with their square (and Postfix 3.7's cleanup
// crashes past about ten thousand), so tag mode refuses such a message.
static constexpr std::size_t MaxTagHeaders = 20;

TMilterSession::~TMilterSession() {
  EndTransaction(teAborted);  // the MTA closed the connection
  // The whole span in which this connection's IDs went unrecorded; its
  // start was a gap already when the first came.
  const TMilterSettingsPtr Settings = FContext.Settings();
  TLedgerJudge *Ledger = Settings->Ledger.get();
  if (Ledger && FUnrecordedFrom && FUnrecordedTo != FUnrecordedFrom)
    Ledger->RecordGap(*FUnrecordedFrom, *FUnrecordedTo,
                      "a connection sent more than " + std::to_string(MaxRecordsPerConnection) + " IDs to record");
}

TMilterStatus TMilterSession::OnConnect(const TClientAddress &AClient) {
  FClient = AClient;
  return FNegotiated.ConnectReplies ? msContinue : msNoReply;
}

TMilterStatus TMilterSession::OnEnvFrom(TMilterReply &AReply, std::string_view AMailFrom) {
  EndTransaction(teAborted);  // one the MTA left without an abort
  FMessage.Start(AMailFrom);
  FHeaderLost = false;
  FSkipBody = false;
  FSkipVerdict.clear();
  FAddMessageId = false;
  FOrigin = {};
  FRecipients = 0;
  FEnvelopeOutcome = {};
  FSignedSender.reset();
  FNotSigned.clear();
  if (!FContext.BeginTransaction()) {
    // The daemon is stopping and waits only for the transactions it had;
    // the MTA tries this one again later, here or elsewhere.
    LogMessage(AReply, vlNotChecked, "not checked (stopping)", nullptr, "tempfail");
    FMessage.Reset();
    return msTempfail;
  }
  FInTransaction = true;
  FSettings = FContext.Settings();
  CheckOwnHostName(AReply);
  const TRecordOrigins &Origins = FSettings->Options.RecordFrom;
  if (!Origins.Empty())
    FOrigin = MatchOrigin(Origins, FClient, Origins.Auth && !AReply.MacroValue("{auth_authen}").empty());
  const TRecipientJudge *Recipients = FSettings->Recipients.get();
  if (Recipients && Recipients->Signs() && FOrigin.Kind != okNone)
    FSignedSender = Recipients->SignedSender(FMessage.Sender(), BatvDay(std::chrono::system_clock::now()));
  return msContinue;
}

TMilterStatus TMilterSession::OnHeader(std::string_view AName, std::string_view AValue) {
  // Without header replies the MTA reads no answer here, so a failure can
  // only be remembered and answered at end of headers.
  FContentBegun = true;
  try {
    FMessage.AddHeader(AName, AValue);
  } catch (const std::bad_alloc &) {
    FHeaderLost = true;
  }
  return FNegotiated.HeaderReplies ? msContinue : msNoReply;
}

TMilterStatus TMilterSession::OnEndOfHeaders(TMilterReply &AReply) {
  if (!FInTransaction)  // refused at MAIL FROM: nothing to decide
    return msAccept;
  if (FHeaderLost) {
    std::string ActionTaken;
    const TMilterStatus Status = ErrorStatus(ActionTaken);
    FContext.Metrics().Error(ecMemory);
    LogMessage(AReply, vlError, "error: out of memory while collecting the headers", nullptr, ActionTaken);
    FMessage.Reset();
    EndTransaction();
    return Status;
  }
  const TEndOfHeaders Decision = FMessage.EndOfHeaders();
  FContext.Metrics().Message(/*ABounce=*/Decision != ehNotDSN);
  if (Options().Action == maTag && FMessage.TagHeaderCount() > MaxTagHeaders)
    return RefuseTagFlood(AReply);
  if (FOrigin.Kind != okNone && FSettings->Ledger)
    RecordOwnMessage(AReply);
  if (!FNotSigned.empty())
    LogRecording(AReply, FNotSigned);
  if (Decision == ehWantBody && FEnvelopeOutcome.Rule != drNone) {
    // Decided at RCPT: a genuine bounce by its tag, or a report to an
    // address whose mail is never refused.
    const bool Never = FEnvelopeOutcome.Rule == drNeverRefuse;
    LogMessage(AReply, Never ? vlNotChecked : vlNotBackscatter, Never ? "not checked" : VerdictText(FEnvelopeOutcome),
               &FEnvelopeOutcome, "accept");
    return PassUnchecked(AReply, vlNotChecked, "");
  }
  switch (Decision) {
  case ehWantBody:
    return msContinue;
  case ehTooLarge:
    return PassUnchecked(AReply, vlTooLarge, TooLargeVerdict);
  case ehOverBudget:
    return PassOverBudget(AReply);
  case ehNotDSN:
    break;
  }
  return PassUnchecked(AReply, vlNotChecked, "");
}

TMilterStatus TMilterSession::OnBody(TMilterReply &AReply, std::string_view AChunk) {
  // A body before end of headers belongs to a message that will not be
  // checked (see OnEndOfMessage): nothing of it is kept.
  if (FSkipBody || !FMessage.EndOfHeadersSeen())
    return FNegotiated.CanSkipBody ? msSkip : msContinue;
  if (FMessage.AddBody(AChunk))
    return msContinue;
  return FMessage.OverBudget() ? PassOverBudget(AReply) : PassUnchecked(AReply, vlTooLarge, TooLargeVerdict);
}

TMilterStatus TMilterSession::OnEndOfMessage(TMilterReply &AReply) {
  std::string ActionTaken = "accept";
  if (!FInTransaction)  // refused at MAIL FROM, and answered there
    return msAccept;
  if (!FMessage.EndOfHeadersSeen()) {
    // End of headers decides whether a message may be a bounce; without it
    // the body could be anything, headers included.
    LogMessage(AReply, vlNotChecked, "not checked (no end of headers)", nullptr, ActionTaken);
    FMessage.Reset();
    EndTransaction();
    return msAccept;
  }
  if (FAddMessageId)
    AddMessageId(AReply);
  if (FSkipBody) {
    const bool Strip = MustStripTags();
    RemoveTagHeaders(AReply, ActionTaken);
    if (Strip || !FSkipVerdict.empty())
      LogMessage(AReply, FSkipVerdict.empty() ? vlNotChecked : FSkipLabel,
                 FSkipVerdict.empty() ? NotBounceVerdict : FSkipVerdict, nullptr, ActionTaken);
    SignSender(AReply);
    FMessage.Reset();
    EndTransaction();
    return msAccept;
  }

  // The check holds the snapshot: after a stop's deadline it may outlive
  // the transaction.
  const TCheckOutcome Outcome = FContext.Checks().Run(
      [Sender = FMessage.Sender(), Content = FMessage.TakeContent(), Settings = FSettings]() mutable {
        return JudgeBounce(Sender, std::move(Content), Settings->Judges());
      });
  const bool Deferred = Outcome.Verdict == cvDeferred;
  const bool Failed = !Deferred && Outcome.Verdict != cvBackscatter && Outcome.Verdict != cvNotBackscatter;
  // In tag mode every message that passes loses the headers it brought
  // before ours is added.
  if (!Deferred && !(Failed && Options().OnError == epTempfail))
    RemoveTagHeaders(AReply, ActionTaken);
  TMilterStatus Status = msAccept;
  if (Outcome.Verdict == cvBackscatter)
    Status = ActOnBackscatter(AReply, ActionTaken);
  else if (Failed)
    Status = ErrorStatus(ActionTaken);
  else if (Deferred) {
    // The MTA's own temporary failure (Postfix: "451 4.7.1"), as for
    // --on-error=tempfail: the bouncing MTA retries, by when the ledger may answer.
    ActionTaken = PolicyName(epTempfail);
    Status = msTempfail;
  }
  CountCheck(Outcome);
  LogMessage(AReply, Outcome.Verdict == cvBackscatter      ? vlBackscatter
                     : Outcome.Verdict == cvNotBackscatter ? vlNotBackscatter
                     : Deferred                            ? vlDeferred
                                                           : vlError,
             VerdictText(Outcome), &Outcome, ActionTaken);
  if (Status == msAccept)
    SignSender(AReply);
  FMessage.Reset();
  EndTransaction();
  return Status;
}

TMilterStatus TMilterSession::OnAbort() {
  FMessage.Reset();
  EndTransaction(teAborted);
  return msContinue;
}

TMilterStatus TMilterSession::OnInternalError(TMilterReply &AReply, std::string_view AWhat) noexcept {
  std::string ActionTaken;
  const TMilterStatus Status = ErrorStatus(ActionTaken);
  try {
    FContext.Metrics().Error(ecInternal);
    LogMessage(AReply, vlError, std::string("internal error ") + std::string(AWhat), nullptr, ActionTaken);
  } catch (...) {
    // The log is best effort here: the answer below is what matters.
  }
  FMessage.Reset();
  EndTransaction();
  return Status;
}

bool TMilterSession::MustStripTags() const noexcept {
  return Options().Action == maTag && FMessage.TagHeaderCount() > 0;
}

TMilterStatus TMilterSession::PassUnchecked(TMilterReply &AReply, TVerdictLabel ALabel, const std::string &AVerdict) {
  if (MustStripTags() || FAddMessageId || FSignedSender) {
    // Header and sender changes wait for end of message, and the line with
    // them; the body is not wanted.
    FSkipBody = true;
    FSkipVerdict = AVerdict;
    FSkipLabel = ALabel;
    return msContinue;
  }
  if (!AVerdict.empty())
    LogMessage(AReply, ALabel, AVerdict, nullptr, "accept");
  // Accepting here tells the MTA that this filter needs nothing more of the
  // message, its body included.
  FMessage.Reset();
  EndTransaction();
  return msAccept;
}

TMilterStatus TMilterSession::PassOverBudget(TMilterReply &AReply) {
  const std::string Verdict = "not checked (the messages in progress hold the --buffer-limit of " +
                              std::to_string(FContext.Buffers().Limit() >> 20) + " MiB)";
  FContext.Metrics().Error(ecBufferLimit);
  if (Options().OnError == epAccept)
    return PassUnchecked(AReply, vlNotChecked, Verdict);
  std::string ActionTaken;
  const TMilterStatus Status = ErrorStatus(ActionTaken);
  LogMessage(AReply, vlNotChecked, Verdict, nullptr, ActionTaken);
  FMessage.Reset();
  EndTransaction();
  return Status;
}

TMilterStatus TMilterSession::RefuseTagFlood(TMilterReply &AReply) {
  const std::string Count = std::to_string(FMessage.TagHeaderCount());
  std::string ActionTaken = "reject";
  if (!AReply.SetReply("550", "5.7.1", "Malformed message: " + Count + " " + TagHeaderName + " headers"))
    ActionTaken += " (the MTA's own reply: setting ours failed)";
  LogMessage(AReply, vlRefused,
             "refused (" + Count + " " + TagHeaderName + " headers, more than " + std::to_string(MaxTagHeaders) + ")",
             nullptr, ActionTaken);
  FMessage.Reset();
  EndTransaction();
  return msReject;
}

void TMilterSession::RemoveTagHeaders(TMilterReply &AReply, std::string &AActionTaken) {
  if (!MustStripTags())
    return;
  const std::size_t Count = FMessage.TagHeaderCount();
  std::size_t Removed = 0;
  // From the last to the first, so that each index still names the header
  // it named when the message arrived, however the MTA counts.
  for (std::size_t Index = Count; Index >= 1; --Index)
    Removed += AReply.RemoveHeader(TagHeaderName, static_cast<unsigned>(Index)) ? 1 : 0;
  AActionTaken += ", removed " + std::to_string(Removed) + " of " + std::to_string(Count) + " " + TagHeaderName;
}

TMilterStatus TMilterSession::ActOnBackscatter(TMilterReply &AReply, std::string &AActionTaken) {
  const TMilterOptions &Options = this->Options();
  const std::string Taken = std::string(ActionName(Options.Action));
  switch (Options.Action) {
  case maReject:
    AActionTaken = Taken;
    if (!AReply.SetReply(Options.ReplyCode, Options.ReplyStatus, Options.ReplyText))
      AActionTaken += " (the MTA's own reply: setting ours failed)";
    return msReject;
  case maDiscard:
    AActionTaken = Taken;
    return msDiscard;
  case maQuarantine:
    AActionTaken = AReply.Quarantine(QuarantineReason) ? Taken : Taken + " failed, accepted";
    return msAccept;
  case maTag: {
    const char *Value = FMessage.Form() == hvAsReceived ? TagHeaderValue : TagHeaderValue + 1;
    // The removals logged before stay after the action.
    const std::string Removals = AActionTaken.substr(std::string_view("accept").size());
    AActionTaken = (AReply.AddHeader(TagHeaderName, Value) ? Taken : Taken + " failed, accepted") + Removals;
    return msAccept;
  }
  case maLog:
    AActionTaken = "accept (log only, would " + std::string(ActionName(maReject)) + ")";
    return msAccept;
  }
  return msAccept;
}

TMilterStatus TMilterSession::ErrorStatus(std::string &AActionTaken) const {
  // Outside a transaction, the current settings say.
  const TMilterSettingsPtr Current = FSettings ? FSettings : FContext.Settings();
  AActionTaken = PolicyName(Current->Options.OnError);
  return Current->Options.OnError == epTempfail ? msTempfail : msAccept;
}

void TMilterSession::CountCheck(const TCheckOutcome &AOutcome) {
  TMilterMetrics &Metrics = FContext.Metrics();
  Metrics.CheckTime(AOutcome.Elapsed);
  Metrics.Lookup(AOutcome.LedgerAnswer);
  if (AOutcome.Verdict == cvError)
    Metrics.Error(ecCheck);
  if (AOutcome.Verdict == cvNotFinished)
    Metrics.Error(ecUnfinished);
  // The notes the decision gives when the ledger could not decide.
  if (AOutcome.RuleNote == "ledger warming up")
    Metrics.Gap(grWarmingUp);
  if (AOutcome.RuleNote == "ledger unavailable" || AOutcome.RuleNote == "ledger slow")
    Metrics.Gap(grUnavailable);
  if (AOutcome.RuleNote == "ledger gap")
    Metrics.Gap(grInGap);
}

// The returned IDs as a log line names them: each in angle brackets, the
// first few only and each cut short, so that a bounce returning thousands,
// or one of 64 KiB, keeps one short line. The log escapes what a peer could
// put in them.
static std::string ReturnedIdsText(const std::vector<std::string> &AIds) {
  static constexpr std::size_t Shown = 4, ShownBytes = 200;
  std::string Text;
  for (std::size_t I = 0; I < AIds.size() && I < Shown; ++I) {
    Text.append(I ? "," : "").append("<").append(PeerField(AIds[I].substr(0, ShownBytes)));
    Text.append(AIds[I].size() > ShownBytes ? "...>" : ">");
  }
  if (AIds.size() > Shown)
    Text.append(" and ").append(std::to_string(AIds.size() - Shown)).append(" more");
  return Text;
}

void TMilterSession::LogMessage(TMilterReply &AReply, TVerdictLabel ALabel, std::string_view AVerdict,
                                const TCheckOutcome *AOutcome, std::string_view AActionTaken) {
  FContext.Metrics().Verdict(ALabel, AOutcome ? AOutcome->Rule : drNone, ActionLabelOf(AActionTaken));
  const std::chrono::microseconds Elapsed = AOutcome ? AOutcome->Elapsed : std::chrono::microseconds(0);
  // Milliseconds with three decimals: a typical check takes well under one.
  char Milliseconds[32];
  std::snprintf(Milliseconds, sizeof Milliseconds, "%.3f ms", static_cast<double>(Elapsed.count()) / 1000);
  std::string Text = "sender=<" + PeerField(FMessage.Sender()) + ">, verdict=";
  Text.append(AVerdict).append(", message-ids=").append(std::to_string(AOutcome ? AOutcome->MessageIDCount : 0));
  Text.append(", rule=").append(AOutcome && AOutcome->Rule != drNone ? RuleName(AOutcome->Rule) : "none");
  if (AOutcome && !AOutcome->RuleNote.empty())
    Text.append(" (").append(AOutcome->RuleNote).append(")");
  Text.append(", action=").append(AActionTaken).append(", ").append(Milliseconds);
  if (AOutcome && !AOutcome->ReturnedIds.empty())
    Text.append(", returned=").append(ReturnedIdsText(AOutcome->ReturnedIds));
  FContext.Log().Message(AReply.MacroValue("i"), Text);
}

void TMilterSession::EndTransaction(TTransactionEnd AHow) noexcept {
  if (!FInTransaction)
    return;
  FInTransaction = false;
  FContentBegun = false;
  FSettings.reset();  // an old judge goes once no transaction holds it
  FContext.EndTransaction(AHow);
}

} // namespace bw
