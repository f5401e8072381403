// One SMTP transaction as the milter callbacks deliver it: the sender, the
// headers and the body, put back together into the bytes the detector reads.
//
// Nothing here knows libmilter, so the assembly, the decision at end of
// headers and the size bound can be tested and fuzzed without an MTA.
#pragma once

#include "detector/HeaderBlock_un.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The header of --action=tag. Every copy that arrives is counted, so that
// tag mode can remove it from the messages that pass.
inline constexpr char TagHeaderName[] = "X-Bouncewarden";

// The most ID fields (Message-ID, Resent-Message-ID) one message keeps for
// the ledger: a message resent that often does not exist, and a client
// allowed to record must not fill the ledger with one message.
inline constexpr std::size_t MaxSentIdFields = 16;

// How the MTA hands over header values: with the space after the colon kept
// (SMFIP_HDR_LEADSPC negotiated), or with leading white space stripped.
enum THeaderValueForm : std::uint8_t { hvAsReceived, hvLeadingSpaceStripped };

// What end of headers decided.
enum TEndOfHeaders : std::uint8_t {
  ehNotDSN,      // not a bounce by the detector's rule: accept, no body needed
  ehTooLarge,    // the headers alone reached the size bound: accept unexamined
  ehWantBody,    // a bounce: collect the body and check at end of message
  ehOverBudget   // a bounce whose headers the budget of all messages could not hold
};

// The bytes the messages in progress on all connections may hold together,
// so that many peers each holding a message just under the size bound
// cannot take the memory between them. Safe from any thread.
class TByteBudget {
public:
  explicit TByteBudget(std::size_t ALimit) noexcept : FLimit(ALimit) {}
  // Takes ABytes when they fit under the limit; false (nothing taken) when not.
  bool TryTake(std::size_t ABytes) noexcept;
  void Give(std::size_t ABytes) noexcept { FHeld.fetch_sub(ABytes, std::memory_order_relaxed); }
  std::size_t Held() const noexcept { return FHeld.load(std::memory_order_relaxed); }
  std::size_t Limit() const noexcept { return FLimit.load(std::memory_order_relaxed); }
  // A reload's new limit; what is held beyond it goes back as messages end.
  void SetLimit(std::size_t ALimit) noexcept { FLimit.store(ALimit, std::memory_order_relaxed); }

private:
  std::atomic<std::size_t> FLimit;
  std::atomic<std::size_t> FHeld{0};
};

class TMilterMessage {
public:
  // With ABudget, every byte kept is taken from it (and given back when the
  // message is reset): a message it cannot hold keeps nothing from then on.
  explicit TMilterMessage(THeaderValueForm AForm, TByteBudget *ABudget = nullptr) : FForm(AForm), FBudget(ABudget) {}
  ~TMilterMessage() { Reset(); }
  TMilterMessage(const TMilterMessage &) = delete;
  TMilterMessage &operator=(const TMilterMessage &) = delete;

  // The envelope sender of a MAIL FROM argument: "<>" is the empty sender,
  // the angle brackets of "<a@b>" go, white space around it too.
  static std::string ParseSender(std::string_view AMailFrom);

  // Starts a new transaction (forgetting the last one) for this MAIL FROM.
  void Start(std::string_view AMailFrom);
  // Forgets the transaction and frees what it held.
  void Reset();

  // Appends "Name:" value CRLF. Line ends inside a folded value become CR LF,
  // as the message had them on the wire. The first Content-Type value is kept
  // for the decision at end of headers, the first Message-ID value and the
  // fields that carry an ID (IsSentIdField) for the ledger.
  void AddHeader(std::string_view AName, std::string_view AValue);
  // Appends the blank line and decides through the bounce rule (CountsAsDSN).
  TEndOfHeaders EndOfHeaders();
  // True once EndOfHeaders ran in this transaction: a message whose end of
  // headers never came was not judged a bounce and is not checked.
  bool EndOfHeadersSeen() const noexcept { return FEndOfHeadersSeen; }
  // Appends a body chunk as given; false once the message has reached the
  // size bound or the budget could not hold it (its bytes are then dropped,
  // and later chunks only counted).
  bool AddBody(std::string_view AChunk);

  THeaderValueForm Form() const noexcept { return FForm; }
  const std::string &Sender() const noexcept { return FSender; }
  // The first Message-ID header's value as the MTA handed it over (folds and,
  // with hvAsReceived, the leading space included); none when it had none.
  const std::optional<std::string> &MessageIdValue() const noexcept { return FMessageId; }
  // Its Message-ID and Resent-Message-ID fields, raw as MessageIdValue, in
  // order: the first MaxSentIdFields of them.
  const std::vector<THeaderField> &IdFields() const noexcept { return FIdFields; }
  // The ID fields beyond MaxSentIdFields, not kept.
  std::size_t IdFieldsDropped() const noexcept { return FIdFieldsDropped; }
  // How many TagHeaderName headers (any case) arrived in this transaction.
  std::size_t TagHeaderCount() const noexcept { return FTagHeaderCount; }
  // True once the message reached TBackscatterDetector::MaxMessageSize bytes,
  // counted as it crossed SMTP (CR LF line ends, the MTA's own headers
  // included): such a message is not examined.
  bool TooLarge() const noexcept;
  // True once the budget could not hold the message's bytes.
  bool OverBudget() const noexcept { return FOverBudget; }
  // The rebuilt message; the object keeps nothing of it, but its bytes stay
  // taken from the budget until Reset (the check still holds them).
  std::string TakeContent();

private:
  void Append(std::string_view ABytes);
  void DropContent() noexcept;

  THeaderValueForm FForm;
  TByteBudget *FBudget;
  std::size_t FTaken = 0;  // from FBudget
  bool FOverBudget = false;
  std::string FSender;
  std::string FContent;
  std::optional<std::string> FContentType;  // the first Content-Type value, raw
  std::optional<std::string> FMessageId;    // the first Message-ID value, raw
  std::vector<THeaderField> FIdFields;
  std::size_t FIdFieldsDropped = 0;
  std::size_t FSize = 0;  // bytes had so far, whether kept or dropped
  std::size_t FTagHeaderCount = 0;
  bool FEndOfHeadersSeen = false;
};

} // namespace bw
