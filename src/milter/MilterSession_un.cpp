// The decisions of one MTA connection.
#include "milter/MilterSession_un.h"

#include "detector/BackscatterDetector_un.h"
#include "rtl/Numbers_un.h"
#include "verdict/BatvTag_un.h"
#include "verdict/MessageIdKey_un.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <new>
#include <optional>
#include <string>

namespace bw {

static const char *const QuarantineReason = "bouncewarden: backscatter";
// The MTA writes an added value as given when header values keep their
// leading space, and puts a space before it otherwise.
static const char *const TagHeaderValue = " backscatter";
static const std::string TooLargeVerdict =
    "not examined (" + std::to_string(TBackscatterDetector::MaxMessageSize) + " bytes or more)";

TMilterSession::~TMilterSession() {
  EndTransaction();
  // The whole span in which this connection's IDs went unrecorded; its
  // start was a gap already when the first came.
  if (FUnrecordedFrom && FUnrecordedTo != FUnrecordedFrom)
    FContext.Ledger()->RecordGap(*FUnrecordedFrom, *FUnrecordedTo, "a connection sent more than " +
                                                                     std::to_string(MaxRecordsPerConnection) +
                                                                     " IDs to record");
}

TMilterStatus TMilterSession::OnConnect(const TClientAddress &AClient) {
  FClient = AClient;
  return FNegotiated.ConnectReplies ? msContinue : msNoReply;
}

TMilterStatus TMilterSession::OnEnvFrom(TMilterReply &AReply, std::string_view AMailFrom) {
  EndTransaction();  // one the MTA left without an abort
  CheckOwnHostName(AReply);
  FMessage.Start(AMailFrom);
  FHeaderLost = false;
  FSkipBody = false;
  FAddMessageId = false;
  FOrigin = {};
  FRecipients = 0;
  FEnvelopeOutcome = {};
  FSignedSender.reset();
  FNotSigned.clear();
  const TRecordOrigins &Origins = FContext.Options().RecordFrom;
  if (!Origins.Empty())
    FOrigin = MatchOrigin(Origins, FClient, Origins.Auth && !AReply.MacroValue("{auth_authen}").empty());
  const TRecipientJudge *Recipients = FContext.Recipients();
  if (Recipients && Recipients->Signs() && FOrigin.Kind != okNone)
    FSignedSender = Recipients->SignedSender(FMessage.Sender(), BatvDay(std::chrono::system_clock::now()));
  if (!FContext.BeginTransaction()) {
    // The daemon is stopping and waits only for the transactions it had.
    std::string ActionTaken;
    const TMilterStatus Status = ErrorStatus(ActionTaken);
    LogMessage(AReply, "not checked (stopping)", nullptr, ActionTaken);
    FMessage.Reset();
    return Status;
  }
  FInTransaction = true;
  return msContinue;
}

namespace {
struct TRecipientReply {
  const char *Code;
  const char *Status;
  const char *Text;
};
} // namespace

// The replies of the recipient rules; the man page quotes them.
static constexpr TRecipientReply InvalidTagReply{"550", "5.7.1", "Backscatter: the bounce address tag is not valid"};
static constexpr TRecipientReply ExpiredTagReply{"550", "5.7.1", "Backscatter: the bounce address tag has expired"};
static constexpr TRecipientReply NoTagReply{"550", "5.7.1", "Backscatter: a bounce to this address must carry its tag"};
static constexpr TRecipientReply NoBouncesReply{"550", "5.7.1", "Backscatter: this address sends only and takes no bounces"};
static constexpr TRecipientReply OneRecipientReply{"452", "4.5.3",
                                                   "A bounce has one recipient: send the others one at a time"};

static const TRecipientReply &ReplyOf(const TRecipientDecision &ADecision) {
  switch (ADecision.Rule) {
  case drOneRecipient:
    return OneRecipientReply;
  case drNoBouncesTo:
    return NoBouncesReply;
  default:
    break;
  }
  switch (ADecision.Tag) {
  case bcExpired:
    return ExpiredTagReply;
  case bcAbsent:
    return NoTagReply;
  default:
    break;
  }
  return InvalidTagReply;
}

TMilterStatus TMilterSession::OnEnvRcpt(TMilterReply &AReply, std::string_view ARcptTo) {
  const TRecipientJudge *Judge = FContext.Recipients();
  if (!Judge || !FInTransaction)
    return msContinue;
  const std::string Recipient = TMilterMessage::ParseSender(ARcptTo);
  if (FSignedSender && Judge->IsExempt(Recipient)) {
    FSignedSender.reset();
    FNotSigned = "not signed (mail to the exempt <" + Recipient + ">)";
  }
  const TRecipientDecision Decision = Judge->Judge(FMessage.Sender(), Recipient, FRecipients, FOrigin.Kind != okNone,
                                                   BatvDay(std::chrono::system_clock::now()));
  switch (Decision.Verdict) {
  case rvUndecided:
    break;
  case rvGenuine:
  case rvNeverRefused:
    // A report to a never-refused address outweighs a tag: it is never refused.
    if (FEnvelopeOutcome.Rule != drNeverRefuse) {
      FEnvelopeOutcome.Verdict = cvNotBackscatter;
      FEnvelopeOutcome.Rule = Decision.Rule;
      FEnvelopeOutcome.RuleNote = Decision.Note.empty() ? "<" + Recipient + ">"
                                                        : std::string(Decision.Note) + " of <" + Recipient + ">";
    }
    break;
  case rvRefused:
  case rvOneAtATime: {
    const TRecipientReply &Reply = ReplyOf(Decision);
    std::string ActionTaken = Decision.Verdict == rvRefused ? "reject" : "tempfail";
    if (!AReply.SetReply(Reply.Code, Reply.Status, Reply.Text))
      ActionTaken += " (the MTA's own reply: setting ours failed)";
    LogRecipient(AReply, Recipient, Decision, ActionTaken);
    return Decision.Verdict == rvRefused ? msReject : msTempfail;
  }
  }
  ++FRecipients;
  return msContinue;
}

TMilterStatus TMilterSession::OnHeader(std::string_view AName, std::string_view AValue) {
  // Without header replies the MTA reads no answer here, so a failure can
  // only be remembered and answered at end of headers.
  try {
    FMessage.AddHeader(AName, AValue);
  } catch (const std::bad_alloc &) {
    FHeaderLost = true;
  }
  return FNegotiated.HeaderReplies ? msContinue : msNoReply;
}

TMilterStatus TMilterSession::OnEndOfHeaders(TMilterReply &AReply) {
  if (FHeaderLost) {
    std::string ActionTaken;
    const TMilterStatus Status = ErrorStatus(ActionTaken);
    LogMessage(AReply, "error: out of memory while collecting the headers", nullptr, ActionTaken);
    FMessage.Reset();
    EndTransaction();
    return Status;
  }
  const TEndOfHeaders Decision = FMessage.EndOfHeaders();
  if (FOrigin.Kind != okNone && FContext.Ledger())
    RecordOwnMessage(AReply);
  if (!FNotSigned.empty())
    LogRecording(AReply, FNotSigned);
  if (Decision == ehWantBody && FEnvelopeOutcome.Rule != drNone) {
    // Decided at RCPT: a genuine bounce by its tag, or a report to an
    // address whose mail is never refused.
    LogMessage(AReply, FEnvelopeOutcome.Rule == drNeverRefuse ? "not checked" : VerdictText(FEnvelopeOutcome),
               &FEnvelopeOutcome, "accept");
    return PassUnchecked();
  }
  switch (Decision) {
  case ehWantBody:
    return msContinue;
  case ehTooLarge:
    LogMessage(AReply, TooLargeVerdict, nullptr, "accept");
    break;
  case ehNotDSN:
    break;
  }
  return PassUnchecked();
}

TMilterStatus TMilterSession::OnBody(TMilterReply &AReply, std::string_view AChunk) {
  // A body before end of headers belongs to a message that will not be
  // checked (see OnEndOfMessage): nothing of it is kept.
  if (FSkipBody || !FMessage.EndOfHeadersSeen())
    return FNegotiated.CanSkipBody ? msSkip : msContinue;
  if (FMessage.AddBody(AChunk))
    return msContinue;
  LogMessage(AReply, TooLargeVerdict, nullptr, "accept");
  return PassUnchecked();
}

TMilterStatus TMilterSession::OnEndOfMessage(TMilterReply &AReply) {
  std::string ActionTaken = "accept";
  if (!FMessage.EndOfHeadersSeen()) {
    // End of headers decides whether a message may be a bounce; without it
    // the body could be anything, headers included.
    LogMessage(AReply, "not checked (no end of headers)", nullptr, ActionTaken);
    FMessage.Reset();
    EndTransaction();
    return msAccept;
  }
  if (FAddMessageId)
    AddMessageId(AReply);
  if (FSkipBody) {
    if (MustStripTags()) {
      RemoveTagHeaders(AReply, ActionTaken);
      LogMessage(AReply, "not checked (not a bounce)", nullptr, ActionTaken);
    }
    SignSender(AReply);
    FMessage.Reset();
    EndTransaction();
    return msAccept;
  }

  const TCheckOutcome Outcome = FContext.Checks().Run(
      [Sender = FMessage.Sender(), Content = FMessage.TakeContent(), Judges = FContext.Judges()]() mutable {
        return JudgeBounce(Sender, std::move(Content), Judges);
      });
  const bool Deferred = Outcome.Verdict == cvDeferred;
  const bool Failed = !Deferred && Outcome.Verdict != cvBackscatter && Outcome.Verdict != cvNotBackscatter;
  // In tag mode every message that passes loses the headers it brought
  // before ours is added.
  if (!Deferred && !(Failed && FContext.Options().OnError == epTempfail))
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
  LogMessage(AReply, VerdictText(Outcome), &Outcome, ActionTaken);
  if (Status == msAccept)
    SignSender(AReply);
  FMessage.Reset();
  EndTransaction();
  return Status;
}

TMilterStatus TMilterSession::OnAbort() {
  FMessage.Reset();
  EndTransaction();
  return msContinue;
}

TMilterStatus TMilterSession::OnInternalError(TMilterReply &AReply, std::string_view AWhat) noexcept {
  std::string ActionTaken;
  const TMilterStatus Status = ErrorStatus(ActionTaken);
  try {
    LogMessage(AReply, std::string("internal error ") + std::string(AWhat), nullptr, ActionTaken);
  } catch (...) {
    // The log is best effort here: the answer below is what matters.
  }
  FMessage.Reset();
  EndTransaction();
  return Status;
}

bool TMilterSession::MustStripTags() const noexcept {
  return FContext.Options().Action == maTag && FMessage.TagHeaderCount() > 0;
}

TMilterStatus TMilterSession::PassUnchecked() {
  if (MustStripTags() || FAddMessageId || FSignedSender) {
    // Header changes wait for end of message; the body is not wanted.
    FSkipBody = true;
    return msContinue;
  }
  // Accepting here tells the MTA that this filter needs nothing more of the
  // message, its body included.
  FMessage.Reset();
  EndTransaction();
  return msAccept;
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
  const TMilterOptions &Options = FContext.Options();
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
  AActionTaken = PolicyName(FContext.Options().OnError);
  return FContext.Options().OnError == epTempfail ? msTempfail : msAccept;
}

// The returned IDs as a log line names them: each in angle brackets, the
// first few only and each cut short, so that a bounce returning thousands,
// or one of 64 KiB, keeps one short line. The log escapes what a peer could
// put in them.
static std::string ReturnedIdsText(const std::vector<std::string> &AIds) {
  static constexpr std::size_t Shown = 4, ShownBytes = 200;
  std::string Text;
  for (std::size_t I = 0; I < AIds.size() && I < Shown; ++I) {
    Text.append(I ? "," : "").append("<").append(AIds[I], 0, ShownBytes);
    Text.append(AIds[I].size() > ShownBytes ? "...>" : ">");
  }
  if (AIds.size() > Shown)
    Text.append(" and ").append(std::to_string(AIds.size() - Shown)).append(" more");
  return Text;
}

void TMilterSession::LogMessage(TMilterReply &AReply, std::string_view AVerdict, const TCheckOutcome *AOutcome,
                                std::string_view AActionTaken) {
  const std::chrono::microseconds Elapsed = AOutcome ? AOutcome->Elapsed : std::chrono::microseconds(0);
  // Milliseconds with three decimals: a typical check takes well under one.
  char Milliseconds[32];
  std::snprintf(Milliseconds, sizeof Milliseconds, "%.3f ms", static_cast<double>(Elapsed.count()) / 1000);
  std::string Text = "sender=<" + FMessage.Sender() + ">, verdict=";
  Text.append(AVerdict).append(", message-ids=").append(std::to_string(AOutcome ? AOutcome->MessageIDCount : 0));
  Text.append(", rule=").append(AOutcome && AOutcome->Rule != drNone ? RuleName(AOutcome->Rule) : "none");
  if (AOutcome && !AOutcome->RuleNote.empty())
    Text.append(" (").append(AOutcome->RuleNote).append(")");
  Text.append(", action=").append(AActionTaken).append(", ").append(Milliseconds);
  if (AOutcome && !AOutcome->ReturnedIds.empty())
    Text.append(", returned=").append(ReturnedIdsText(AOutcome->ReturnedIds));
  FContext.Log().Message(AReply.MacroValue("i"), Text);
}

void TMilterSession::RecordOwnMessage(TMilterReply &AReply) {
  // Keyed as a returned copy will be looked up: every Message-ID and
  // Resent-Message-ID, since a bounce may return either on top.
  const std::vector<std::string> Ids = SentMessageIdTexts(FMessage.IdFields());
  if (FMessage.MessageIdValue() || !FContext.Options().AddMessageId) {
    if (!Ids.empty())
      Record(AReply, Ids, "");
    else if (FMessage.MessageIdValue())
      LogRecording(AReply, "message-id=none (its Message-ID holds no ID), not recorded");
    else
      LogRecording(AReply, "message-id=none, not recorded (--add-message-id would add one)");
    return;
  }
  FAddMessageId = true;  // headers can only be added at end of message
}

// The letters, digits, dots and hyphens of a host name, so that an ID made
// with it is one well-formed ID whatever the name held.
static std::string HostPart(std::string_view AName) {
  std::string Host;
  for (const char C : AName)
    if ((C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '.' || C == '-')
      Host += C;
  return Host;
}

// "<YYYYMMDDhhmmss.<16 hex digits>@host>": unique without any state shared
// between connections or processes. The host is the MTA's name for itself
// (the macro j), or the system's.
static std::string NewMessageId(std::string_view AHost) {
  std::string Host = HostPart(AHost);
  if (Host.empty()) {
    char Name[256] = "";
    gethostname(Name, sizeof Name - 1);
    Host = HostPart(Name);
  }
  if (Host.empty())
    Host = "localhost";
  std::uint8_t Random[8] = {};
  if (getrandom(Random, sizeof Random, 0) != static_cast<ssize_t>(sizeof Random)) {
    // No entropy at hand: the clock's nanoseconds still tell messages apart.
    const auto Now = std::chrono::steady_clock::now().time_since_epoch().count();
    for (std::size_t I = 0; I < sizeof Random; ++I)
      Random[I] = static_cast<unsigned char>(Now >> (8 * I));
  }
  const std::time_t Seconds = LedgerNow().time_since_epoch().count();
  std::tm Parts{};
  gmtime_r(&Seconds, &Parts);
  char Text[64];
  std::strftime(Text, sizeof Text, "%Y%m%d%H%M%S.", &Parts);
  return std::string("<") + Text + HexText(Random) + "@" + Host + ">";
}

void TMilterSession::CheckOwnHostName(TMilterReply &AReply) {
  const TMessageIdPattern *Pattern = FContext.Pattern();
  if (!Pattern)
    return;
  const std::string Host = HostPart(AReply.MacroValue("j"));
  if (Host.empty() || !FContext.ClaimHostNameCheck())
    return;
  const std::string Id = NewMessageId(Host);
  const std::string Text = Id.substr(1, Id.size() - 2);
  bool Matches = true;
  try {
    Matches = MatchesAnyMessageID(*Pattern, std::vector<std::u16string>{std::u16string(Text.begin(), Text.end())});
  } catch (const ERegexMatchError &) {  // a pattern that fails here fails every check, and says so there
  }
  if (!Matches)
    FContext.Log().Daemon("warning: the pattern does not match " + Id +
                          ", an ID made with the MTA's own host name (macro j): Message-IDs this host makes "
                          "would be judged foreign, and their bounces refused");
}

void TMilterSession::AddMessageId(TMilterReply &AReply) {
  FAddMessageId = false;
  const std::string Id = NewMessageId(AReply.MacroValue("j"));
  // As the MTA will hand the header on: with its leading space when header
  // values are kept as received, as in tag mode.
  if (!AReply.AddHeader("Message-ID", FMessage.Form() == hvAsReceived ? " " + Id : Id)) {
    LogRecording(AReply, "message-id=none, adding one failed, not recorded");
    return;
  }
  std::vector<std::string> Ids = SentMessageIdTexts(FMessage.IdFields());
  if (const std::optional<std::string> Key = SentMessageIdText(Id))
    Ids.insert(Ids.begin(), *Key);
  Record(AReply, Ids, " (added)");
}

void TMilterSession::Record(TMilterReply &AReply, const std::vector<std::string> &AIds, std::string_view AHow) {
  std::string Text = "message-id=";
  for (const std::string &Id : AIds)
    Text.append(&Id == &AIds.front() ? "<" : ",<").append(Id).append(">");
  Text.append(AHow).append(", ");
  TLedgerJudge &Ledger = *FContext.Ledger();
  const TLedgerTime Now = LedgerNow();
  if (FRecorded + AIds.size() > MaxRecordsPerConnection) {
    Text += "not recorded (this connection's bound of " + std::to_string(MaxRecordsPerConnection) +
            " IDs is reached: its bounces are judged as for a gap)";
    if (!FUnrecordedFrom) {
      FUnrecordedFrom = Now;
      Ledger.RecordGap(Now, Now, "a connection sent more than " + std::to_string(MaxRecordsPerConnection) +
                                     " IDs to record");
    }
    FUnrecordedTo = Now;
    LogRecording(AReply, Text);
    return;
  }
  FRecorded += AIds.size();
  // Committed before the answer goes out: once the MTA has the message, a
  // crash of this process must not lose its record. The store commits in
  // the order records came, and a durable record's commit takes everything
  // queued before it: one commit for all of a message's IDs.
  TRecordResult Result = rrAccepted;
  for (const std::string &Id : AIds) {
    const TRecordResult IdResult = &Id == &AIds.back() ? Ledger.RecordDurably(Id, Now) : Ledger.Record(Id, Now);
    if (IdResult != rrAccepted)
      Result = IdResult;
  }
  switch (Result) {
  case rrAccepted:
    Text += "recorded";
    break;
  case rrExpired:
    Text += "not recorded (older than the retention)";
    break;
  case rrFull:
    Text += "not recorded (the ledger is full)";
    break;
  case rrUnavailable:
    Text += "not recorded (the ledger is unavailable)";
    break;
  }
  if (const std::size_t Dropped = FMessage.IdFieldsDropped())
    Text += "; " + std::to_string(Dropped) + " more ID fields not recorded (over " +
            std::to_string(MaxSentIdFields) + " in one message)";
  LogRecording(AReply, Text);
}

void TMilterSession::LogRecording(TMilterReply &AReply, std::string_view AText) {
  std::string Line = "sender=<" + FMessage.Sender() + ">, origin=" + FOrigin.Text + ", ";
  FContext.Log().Message(AReply.MacroValue("i"), Line.append(AText));
}

void TMilterSession::SignSender(TMilterReply &AReply) {
  if (!FSignedSender)
    return;
  // The protocol takes the address as MAIL FROM writes it.
  if (AReply.ChangeSender("<" + *FSignedSender + ">"))
    LogRecording(AReply, "signed as <" + *FSignedSender + ">");
  else
    LogRecording(AReply, "not signed (the MTA refused to change the sender)");
}

void TMilterSession::LogRecipient(TMilterReply &AReply, const std::string &ARecipient,
                                  const TRecipientDecision &ADecision, std::string_view AActionTaken) {
  std::string Text = "sender=<" + FMessage.Sender() + ">, recipient=<" + ARecipient + ">, verdict=";
  Text.append(ADecision.Verdict == rvOneAtATime ? "not the only recipient of a bounce" : "backscatter");
  Text.append(", rule=").append(RuleName(ADecision.Rule));
  if (!ADecision.Note.empty())
    Text.append(" (").append(ADecision.Note).append(")");
  Text.append(", action=").append(AActionTaken);
  FContext.Log().Message(AReply.MacroValue("i"), Text);
}

void TMilterSession::EndTransaction() noexcept {
  if (!FInTransaction)
    return;
  FInTransaction = false;
  FContext.EndTransaction();
}

} // namespace bw
