// The one key of a Message-ID: the text a ledger keys an ID by, made from
// the header a message is sent with and from the ID its bounce returns,
// side by side, so that the two can only ever be made alike.
//
// Both sides give the ID as the detector extracts it from a returned copy
// (lower-cased, without blanks and angle brackets), as UTF-8 bytes. A
// ledger stores the keyed hash of that text (TLedgerHasher::KeyOf).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bw {

// From the raw bytes of a sent Message-ID header value (8-bit, folds
// included, as an MTA or a mail file holds them), decoded as UTF-8
// leniently (a malformed byte becomes U+FFFD): what a returned copy of the
// message will yield. Nothing when the value holds no ID or an empty one:
// an empty ID would make any bounce returning "<>" ours. An administrator's
// typed ID ("<a@b>" or "a@b") is read the same way.
std::optional<std::string> SentMessageIdText(std::string_view ARawValue);

// From an ID the detector returned (TBackscatterDetector::ReturnedMessageIDs).
// Nothing for an empty ID, which no sent message is recorded under.
std::optional<std::string> ReturnedMessageIdText(std::u16string_view AReturnedId);

} // namespace bw
