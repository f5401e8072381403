// The backscatter check of one bounce: load it, decide whether it is a
// bounce, find the parts that return a message, read their Message-IDs and
// match them against the site's pattern.
//
// Each stage takes what the one before it gave and returns what it found, so
// the two entries are one reading of the stages each, and another caller can
// stop after any of them. The detector reaches the message and stream objects
// only by member name through automation values; it never sees the library
// that parses MIME.
#pragma once

#include "automation/AutoValue_un.h"
#include "detector/HeaderBlock_un.h"
#include "detector/MessageIdMatch_un.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace bw {

class TBackscatterDetector {
public:
  using TMessageIDList = std::vector<std::u16string>;

  // What the returned message of a bounce holds for a judge that keys IDs
  // by their bytes (the milter's ledger).
  struct TReturnedMessage {
    // As ReturnedMessageIDs gives them.
    TMessageIDList MessageIDs;
    // The header block of each part that returns a message (message/rfc822,
    // text/rfc822-headers), in document order, its bytes as the bounce
    // carried them after the transfer encoding: a charset the bounce names
    // changes nothing in them. The text body that stands in when no part
    // returns a message has no header block and adds none.
    std::vector<std::vector<THeaderField>> HeaderBlocks;
  };

  // Messages of this many bytes or more are not examined (nor are empty ones).
  static constexpr std::size_t MaxMessageSize = 512000;

  // True when the file is a DSN whose returned message yields at least one
  // Message-ID and none of them matches AMsgIdRegex. Errors (file not
  // openable, object failures, a pattern that cannot be used, a match that
  // fails) propagate as exceptions.
  static bool IsBackscatter(const std::string &AP1Sender, const std::string &AMimeFile, const std::string &AMsgIdRegex);

  // The check without the matching, of a message held in memory (its bytes
  // as a file would hold them): the Message-IDs of the returned message,
  // lower-cased and cleaned, in document order; none when the message is not
  // examined (outside the size bound) or is not a DSN.
  static TMessageIDList ReturnedMessageIDs(const std::string &AP1Sender, std::string AContent);
  // ReturnedMessageIDs, and the header blocks of the returned parts; both
  // empty where ReturnedMessageIDs is.
  static TReturnedMessage ReturnedMessage(const std::string &AP1Sender, std::string AContent);

  // The stages, in the order the entries run them. Failures of the object
  // calls propagate from each. A caller that holds the message and the parts
  // taken from it releases the message first, as the entries do.

  // The message object over AContent, its bytes as a file holds them.
  static TAutoValue LoadMessage(std::string AContent);
  // Whether the message counts as a bounce (CountsAsDSN over its top-level
  // content type and the envelope sender).
  static bool IsDSN(const TAutoValue &AMessage, const std::string &AP1Sender);
  // The parts that carry the returned message, in document order; when there
  // is none, the text body part alone, and nothing when there is no text body
  // either.
  static std::vector<TAutoValue> FindReturnedMessage(const TAutoValue &AMessage);
  // The verdict over the returned parts: true when they yield at least one
  // Message-ID and none matches AMsgIdRegex.
  static bool CheckMessageIDs(std::span<const TAutoValue> AReturnedParts, const std::string &AMsgIdRegex);
  // The Message-ID of each returned part that has one, in order.
  static TMessageIDList ExtractMessageIDs(std::span<const TAutoValue> AReturnedParts);
  // The decoded text of one returned part.
  static std::u16string ReadPartText(const TAutoValue &APart);
  // What one returned part holds for ReturnedMessage, read from one decoded
  // content stream: the Message-ID its text gives (as ExtractMessageIDs
  // finds it), and the fields of its header block read from its bytes
  // without any charset (nothing for a part that returns no message: the
  // text body FindReturnedMessage falls back to).
  struct TReturnedPart {
    std::optional<std::u16string> MessageID;
    std::optional<std::vector<THeaderField>> HeaderBlock;
  };
  static TReturnedPart ReadReturnedPart(const TAutoValue &APart);
  // True when one of AMessageIDs (at least one) matches AMsgIdRegex; raises
  // ERegexMatchError as MatchesAnyMessageID does.
  static bool AnyMessageIDMatches(const TMessageIDList &AMessageIDs, const std::string &AMsgIdRegex);

  TBackscatterDetector() = delete;
};

} // namespace bw
