// The walk for returned-message parts.
#include "detector/ReturnedParts_un.h"

#include "detector/DsnRule_un.h"
#include "rtl/StrUtils_un.h"

#include <cstdint>
#include <string_view>

namespace bw {

static constexpr const char16_t *ContentTypeField = u"urn:schemas:mailheader:content-type";
static constexpr std::string_view Rfc822MediaType = "message/rfc822";
static constexpr std::string_view Rfc822HeadersMediaType = "text/rfc822-headers";

bool IsReturnedMediaType(std::string_view AMediaType) {
  return SameText(AMediaType, Rfc822MediaType) || SameText(AMediaType, Rfc822HeadersMediaType);
}

// Pre-order walk in document order. The path from the root is kept on an
// explicit stack, so nesting depth costs heap, not machine stack; the calls on
// the objects come in exactly the order of the plain recursive walk.
std::vector<TAutoValue> CollectReturnedParts(const TAutoValue &ARoot) {
  struct TFrame {
    TAutoValue Part;
    std::int64_t Count;
    std::int64_t Next = 1;
  };
  std::vector<TAutoValue> Found;
  const auto Visit = [&Found](const TAutoValue &APart) -> TFrame {
    const std::string MediaType = GetMediaType(APart.Get("Fields", ContentTypeField).Get("Value").AsString());
    if (IsReturnedMediaType(MediaType))
      Found.push_back(APart);
    return {APart, APart.Get("BodyParts").Get("Count").AsInteger()};
  };
  std::vector<TFrame> Path{Visit(ARoot)};
  while (!Path.empty()) {
    TFrame &Top = Path.back();
    if (Top.Next > Top.Count) {
      Path.pop_back();
      continue;
    }
    const TAutoValue Child = Top.Part.Get("BodyParts", Top.Next++);
    Path.push_back(Visit(Child));
  }
  return Found;
}

} // namespace bw
