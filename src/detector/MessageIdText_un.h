// The Message-ID that the text of one returned part gives, found as plain
// text without parsing any header.
//
// A pure function of its UTF-16 input (and the locale's lower-casing): no
// mail object, no pattern, no state, so it can be tested with tables and
// fuzzed on its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bw {

// The Message-ID of one part's text, lower-cased, trimmed and cleaned
// (CleanMessageID): the rest of the line after the first "message-id: "
// (any case), of which at least two characters must follow the blank; or,
// when that rest is blank, the indented line it is folded onto; or the
// indented line after a "message-id:" that ends its line. Nothing when the
// text has none of these forms.
std::optional<std::u16string> ExtractMessageID(std::u16string_view AText);

// The ID that a returned copy of a message will yield, from the value of the
// Message-ID header the message was sent with (as the MTA hands it over,
// folds included): ExtractMessageID over that one header line, so that a
// record of sent mail and a later bounce normalise alike.
std::optional<std::u16string> MessageIdOfHeaderValue(std::u16string_view AValue);

// The ID without any space, "<" or ">"; every other character stays.
std::u16string CleanMessageID(std::u16string_view AMessageID);
std::string CleanMessageID(std::string_view AMessageID);

} // namespace bw
