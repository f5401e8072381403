// The one key of a Message-ID: the text a ledger keys an ID by, made from
// the headers a message is sent with and from the copy its bounce returns,
// side by side, so that the two can only ever be made alike.
//
// The bytes of an ID are the bytes of a header field's raw value (folds
// included, as an MTA or a mail file holds them, in whatever charset it
// was written) without every byte from 0 to 32 (line ends, folds, blanks),
// "<" and ">", with the ASCII letters lower-cased; every other byte stays
// as it is. Nothing is decoded, so a UTF-8 ID is found whatever charset a
// bounce labels its returned copy with. For an ASCII ID this is the ID the
// detector extracts (lower-cased, without blanks and angle brackets). A
// ledger stores the keyed hash of that text (TLedgerHasher::KeyOf).
#pragma once

#include "detector/BackscatterDetector_un.h"
#include "detector/HeaderBlock_un.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The bytes of the ID in a raw header value, or in an ID an administrator
// typed ("<a@b>" or "a@b"). Nothing when no byte is left: an empty ID would
// make any bounce returning "<>" ours.
std::optional<std::string> SentMessageIdText(std::string_view ARawValue);

// From an ID the detector returned (TBackscatterDetector::ReturnedMessageIDs),
// as UTF-8. Nothing for an empty ID, which no sent message is recorded under.
std::optional<std::string> ReturnedMessageIdText(std::u16string_view AReturnedId);

// Whether a field of a sent message carries one of its IDs: Message-ID or
// Resent-Message-ID (ASCII case ignored). A recorder keys every one.
bool IsSentIdField(std::string_view AName);
// Whether a field of a returned header block may carry the ID the message
// was sent with: Message-ID, Resent-Message-ID, or any name ending in
// "-Message-ID" (X-Original-Message-ID, ...), ASCII case ignored.
bool IsReturnedIdField(std::string_view AName);

// The texts a sent message is recorded under: one per field IsSentIdField
// accepts, in order, each once.
std::vector<std::string> SentMessageIdTexts(std::span<const THeaderField> AFields);

// The texts a returned message is looked up under: the detector's IDs,
// then those of every field of its header blocks that IsReturnedIdField
// accepts, each once. The copy is ours when any of them was recorded.
std::vector<std::string> ReturnedMessageIdTexts(const TBackscatterDetector::TReturnedMessage &AReturned);

} // namespace bw
