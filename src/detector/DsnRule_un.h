// The rule that makes a message a bounce worth searching: its top-level
// media type, or its envelope sender.
//
// Both programs apply it: the one-shot tool to the loaded message's field,
// the milter to the raw header at end of headers, before any body arrives.
#pragma once

#include <string>
#include <string_view>

namespace bw {

// The text before the first space, "(" or ";" of a content-type value; the
// whole value when it has none. Nothing is trimmed and no case is changed.
std::string GetMediaType(std::string_view AContentType);

// True when the top-level Content-Type value (raw or unfolded) has the media
// type multipart/report, or the envelope sender is empty or holds
// "mailer-daemon@" or "postmaster@" anywhere (ASCII case ignored).
bool CountsAsDSN(std::string_view AContentType, std::string_view AP1Sender);

} // namespace bw
