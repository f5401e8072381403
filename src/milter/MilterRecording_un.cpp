// The recording of a connection's own mail: the Message-IDs of a message
// of ours committed to the ledger before its end of headers is answered,
// one made for a message that has none, and the check of the MTA's own host
// name against the pattern.
#include "milter/MilterSession_un.h"

#include "rtl/Numbers_un.h"
#include "verdict/MessageIdKey_un.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace bw {

void TMilterSession::RecordOwnMessage(TMilterReply &AReply) {
  // Keyed as a returned copy will be looked up: every Message-ID and
  // Resent-Message-ID, since a bounce may return either on top.
  const std::vector<std::string> Ids = SentMessageIdTexts(FMessage.IdFields());
  if (FMessage.MessageIdValue() || !Options().AddMessageId) {
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
  const TMessageIdPattern *Pattern = FSettings->Pattern.get();
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
    Text.append(&Id == &AIds.front() ? "<" : ",<").append(PeerField(Id)).append(">");
  Text.append(AHow).append(", ");
  TLedgerJudge &Ledger = *FSettings->Ledger;
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
    FContext.Metrics().Record(IdResult);
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
  std::string Line = "sender=<" + PeerField(FMessage.Sender()) + ">, origin=" + FOrigin.Text + ", ";
  FContext.Log().Message(AReply.MacroValue("i"), Line.append(AText));
}

} // namespace bw
