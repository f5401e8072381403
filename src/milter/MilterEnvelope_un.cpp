// The envelope steps of a connection: each recipient decided at RCPT by
// the recipient rules and BATV, and the sender of a message of ours
// replaced by its tagged form.
#include "milter/MilterSession_un.h"

#include "verdict/BatvTag_un.h"

#include <chrono>
#include <string>
#include <utility>

namespace bw {

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
  if (!FInTransaction)
    return msContinue;
  const TRecipientJudge *Judge = FSettings->Recipients.get();
  if (!Judge)
    return msContinue;
  const std::string Recipient = TMilterMessage::ParseSender(ARcptTo);
  if (FSignedSender && Judge->IsExempt(Recipient)) {
    FSignedSender.reset();
    FNotSigned = "not signed (mail to the exempt <" + PeerField(Recipient) + ">)";
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
      std::string Note(Decision.Note);
      Note.append(Note.empty() ? "<" : " of <").append(PeerField(Recipient)).append(">");
      FEnvelopeOutcome.RuleNote = std::move(Note);
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

void TMilterSession::SignSender(TMilterReply &AReply) {
  if (!FSignedSender)
    return;
  // The protocol takes the address as MAIL FROM writes it.
  if (AReply.ChangeSender("<" + *FSignedSender + ">"))
    LogRecording(AReply, "signed as <" + PeerField(*FSignedSender) + ">");
  else
    LogRecording(AReply, "not signed (the MTA refused to change the sender)");
}

void TMilterSession::LogRecipient(TMilterReply &AReply, const std::string &ARecipient,
                                  const TRecipientDecision &ADecision, std::string_view AActionTaken) {
  FContext.Metrics().Verdict(vlRefused, ADecision.Rule, ActionLabelOf(AActionTaken));
  std::string Text = "sender=<" + PeerField(FMessage.Sender()) + ">, recipient=<" + PeerField(ARecipient) + ">, verdict=";
  Text.append(ADecision.Verdict == rvOneAtATime ? "not the only recipient of a bounce" : "backscatter");
  Text.append(", rule=").append(RuleName(ADecision.Rule));
  if (!ADecision.Note.empty())
    Text.append(" (").append(ADecision.Note).append(")");
  Text.append(", action=").append(AActionTaken);
  FContext.Log().Message(AReply.MacroValue("i"), Text);
}

} // namespace bw
