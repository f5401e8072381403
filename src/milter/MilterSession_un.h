// One MTA connection as the milter sees it: the decisions of each step of a
// message, reaching the MTA only through a small reply interface, so that
// they are tested without libmilter. The daemon's callback shim forwards
// libmilter's callbacks here and turns the statuses into libmilter's.
#pragma once

#include "milter/MilterContext_un.h"
#include "milter/MilterMessage_un.h"
#include "milter/MilterOrigin_un.h"
#include "milter/MilterWatch_un.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The most IDs one connection records: a client allowed to record cannot
// fill the ledger through one connection. What it sends beyond is not
// recorded, and the time it was sent in becomes a gap, so that its bounces
// are not refused for lacking.
inline constexpr std::size_t MaxRecordsPerConnection = 1000;

// The answer to one step, as libmilter's SMFIS_* codes have it.
enum TMilterStatus : std::uint8_t { msContinue, msAccept, msReject, msDiscard, msTempfail, msNoReply, msSkip };

// What a session may ask of the MTA about the message at hand. The changes
// (reply, quarantine, headers) are only possible at end of message; each
// returns false when the MTA refused it.
class TMilterReply {
public:
  virtual ~TMilterReply() = default;
  virtual bool SetReply(const std::string &ACode, const std::string &AStatus, const std::string &AText) = 0;
  virtual bool Quarantine(const std::string &AReason) = 0;
  virtual bool AddHeader(const std::string &AName, const std::string &AValue) = 0;
  // Removes the AIndex-th (from 1) header of that name, in any case.
  virtual bool RemoveHeader(const std::string &AName, unsigned AIndex) = 0;
  // A macro the MTA sent ("i" is the queue ID, "j" its host name,
  // "{auth_authen}" the client's login); empty when it sent none.
  virtual std::string MacroValue(const std::string &AName) = 0;
  // Replaces the envelope sender (at end of message, when negotiated).
  virtual bool ChangeSender(const std::string &AAddress) = 0;
};

// What negotiation with the MTA settled for the connection.
struct TNegotiated {
  THeaderValueForm Form = hvLeadingSpaceStripped;
  // False when the MTA sends headers without waiting for an answer to each
  // (SMFIP_NR_HDR), which saves a round trip per header of every message.
  bool HeaderReplies = true;
  // True when the MTA can skip the rest of a body on request (SMFIP_SKIP).
  bool CanSkipBody = false;
  // False when the MTA sends the connect step without waiting for an answer
  // (SMFIP_NR_CONN).
  bool ConnectReplies = true;
};

// The state of one connection. The message's state is reset at MAIL FROM,
// at end of message and on abort, so one connection can carry any number of
// messages; a transaction still open when the session goes (the MTA closed
// the connection) ends with it.
//
// Each transaction is decided under the settings that were current at its
// MAIL FROM, whatever a reload changes before its end.
//
// With --record-from, a message of ours (by its client or its
// authentication) has its Message-IDs recorded in the ledger at end of
// headers, whatever else happens to it, and that step is answered only once
// the records are committed; with --add-message-id one that has none gets
// one at end of message. The recording never changes the answer.
//
// With the recipient rules (RecipientRule_un.h), each RCPT is decided as it
// comes: refused there, or taken as a genuine bounce or a never-refused
// report, whose message is then accepted unchecked at end of headers. With
// --batv-sign, the sender of a message of ours is replaced by its tagged
// form at end of message.
class TMilterSession {
public:
  TMilterSession(TMilterContext &AContext, const TNegotiated &ANegotiated)
      : FContext(AContext), FNegotiated(ANegotiated), FMessage(ANegotiated.Form, &AContext.Buffers()) {}
  ~TMilterSession();
  TMilterSession(const TMilterSession &) = delete;
  TMilterSession &operator=(const TMilterSession &) = delete;

  // The connection's client, when the connect step was negotiated.
  TMilterStatus OnConnect(const TClientAddress &AClient);
  TMilterStatus OnEnvFrom(TMilterReply &AReply, std::string_view AMailFrom);
  // One recipient, as RCPT TO gave it; asked for only with the recipient rules.
  TMilterStatus OnEnvRcpt(TMilterReply &AReply, std::string_view ARcptTo);
  TMilterStatus OnHeader(std::string_view AName, std::string_view AValue);
  TMilterStatus OnEndOfHeaders(TMilterReply &AReply);
  TMilterStatus OnBody(TMilterReply &AReply, std::string_view AChunk);
  TMilterStatus OnEndOfMessage(TMilterReply &AReply);
  TMilterStatus OnAbort();
  // A step failed inside (AWhat says how): logged, the transaction ends,
  // and the answer is --on-error's.
  TMilterStatus OnInternalError(TMilterReply &AReply, std::string_view AWhat) noexcept;

  // Where the connection is, for the watch over silent peers.
  TConnectionPhase Phase() const noexcept {
    return !FInTransaction ? cpBetweenMessages : FContentBegun ? cpContent : cpEnvelope;
  }

private:
  TMilterStatus ActOnBackscatter(TMilterReply &AReply, std::string &AActionTaken);
  TMilterStatus ErrorStatus(std::string &AActionTaken) const;
  // Tag mode: removes every X-Bouncewarden header the message arrived with.
  void RemoveTagHeaders(TMilterReply &AReply, std::string &AActionTaken);
  // Whether the message must reach end of message only for that removal.
  bool MustStripTags() const noexcept;
  // The answer for a message that passes without a check from here on, and
  // its line when AVerdict says why (none for ordinary mail).
  TMilterStatus PassUnchecked(TMilterReply &AReply, TVerdictLabel ALabel, const std::string &AVerdict);
  // The budget of all messages could not hold this one: --on-error's answer.
  TMilterStatus PassOverBudget(TMilterReply &AReply);
  // Tag mode: more X-Bouncewarden headers than any genuine message carries.
  TMilterStatus RefuseTagFlood(TMilterReply &AReply);
  // The message's line, counted by its verdict, rule and action.
  void LogMessage(TMilterReply &AReply, TVerdictLabel ALabel, std::string_view AVerdict, const TCheckOutcome *AOutcome,
                  std::string_view AActionTaken);
  // A check's time, the ledger's answer, its errors and gaps, for the counts.
  void CountCheck(const TCheckOutcome &AOutcome);
  // At end of headers: records the message's Message-ID, or leaves it to
  // AddMessageId at end of message.
  void RecordOwnMessage(TMilterReply &AReply);
  void AddMessageId(TMilterReply &AReply);
  // Records AIds, then logs them with AHow and how that went.
  void Record(TMilterReply &AReply, const std::vector<std::string> &AIds, std::string_view AHow);
  void LogRecording(TMilterReply &AReply, std::string_view AText);
  // At end of message: the sender replaced by its tagged form, and logged.
  void SignSender(TMilterReply &AReply);
  void LogRecipient(TMilterReply &AReply, const std::string &ARecipient, const TRecipientDecision &ADecision,
                    std::string_view AActionTaken);
  // Once per process, when the MTA names itself (macro j): warns when the
  // pattern would not match an ID made with that name.
  void CheckOwnHostName(TMilterReply &AReply);
  void EndTransaction(TTransactionEnd AHow = teAnswered) noexcept;
  // The transaction's settings: only while one is open.
  const TMilterOptions &Options() const noexcept { return FSettings->Options; }

  TMilterContext &FContext;
  const TNegotiated FNegotiated;
  TMilterMessage FMessage;
  bool FInTransaction = false;
  bool FContentBegun = false;  // a header of the transaction came
  // The settings current at MAIL FROM, kept to the transaction's end (a
  // reload meanwhile applies to the next one); none between transactions.
  TMilterSettingsPtr FSettings;
  // A header could not be kept: the message is incomplete, and end of
  // headers answers as for a failed check.
  bool FHeaderLost = false;
  // Tag mode with X-Bouncewarden headers to remove, or a Message-ID to add,
  // and nothing to check: the body is not wanted, only the end of message.
  bool FSkipBody = false;
  std::string FSkipVerdict;  // the line's verdict at end of message then, when there is one
  TVerdictLabel FSkipLabel = vlNotChecked;
  std::optional<TClientAddress> FClient;  // none until the connect step came
  TOriginMatch FOrigin;  // of the message in progress: none unless it is to be recorded
  bool FAddMessageId = false;  // one is to be added at end of message
  // The recipient rules' findings about the message in progress.
  std::size_t FRecipients = 0;      // recipients accepted so far
  TCheckOutcome FEnvelopeOutcome;   // a genuine bounce or a never-refused recipient: the message is not checked
  std::optional<std::string> FSignedSender;  // the sender's tagged form, to be set at end of message
  std::string FNotSigned;           // why a message of ours is not signed after all, for the log
  std::size_t FRecorded = 0;   // IDs this connection recorded
  // When the IDs over MaxRecordsPerConnection came: the gap they leave.
  std::optional<TLedgerTime> FUnrecordedFrom, FUnrecordedTo;
};

} // namespace bw
