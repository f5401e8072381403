// The bounce rule.
#include "detector/DsnRule_un.h"

#include "rtl/StrUtils_un.h"

namespace bw {

static constexpr std::string_view ReportMediaType = "multipart/report";
static constexpr std::string_view MailerDaemonMarker = "mailer-daemon@";
static constexpr std::string_view PostmasterMarker = "postmaster@";

std::string GetMediaType(std::string_view AContentType) {
  return std::string(AContentType.substr(0, AContentType.find_first_of(" (;")));
}

bool CountsAsDSN(std::string_view AContentType, std::string_view AP1Sender) {
  // A raw header value may still be folded: unfold and trim it as the message
  // object does for its field values.
  std::string ContentType;
  for (const char C : AContentType)
    if (C != '\r' && C != '\n')
      ContentType.push_back(C);
  if (SameText(GetMediaType(TrimBytes(ContentType)), ReportMediaType))
    return true;
  if (AP1Sender.empty())
    return true;
  const std::string Sender = AsciiLowerCase(AP1Sender);
  return Sender.find(MailerDaemonMarker) != std::string::npos || Sender.find(PostmasterMarker) != std::string::npos;
}

} // namespace bw
