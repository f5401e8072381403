// The sent and returned sides of a Message-ID's key.
#include "verdict/MessageIdKey_un.h"

#include "detector/MessageIdText_un.h"
#include "rtl/Charset_un.h"

namespace bw {

std::optional<std::string> SentMessageIdText(std::string_view ARawValue) {
  const std::optional<std::u16string> Id = MessageIdOfHeaderValue(DecodeToWide("UTF-8", ARawValue).Text);
  if (!Id)
    return std::nullopt;
  return ReturnedMessageIdText(*Id);
}

std::optional<std::string> ReturnedMessageIdText(std::u16string_view AReturnedId) {
  if (AReturnedId.empty())
    return std::nullopt;
  return WideToUtf8(AReturnedId);
}

} // namespace bw
