// Part text through the stream object.
#include "detector/PartText_un.h"

#include "automation/ComObj_un.h"
#include "rtl/StrUtils_un.h"

#include <cstdint>
#include <string_view>

namespace bw {

static constexpr std::string_view Utf7AliasCharset = "unicode-1-1-utf-7";
static constexpr int TextStream = 2;

std::u16string ReadStreamText(const TAutoValue &AStream) {
  if (!AStream.IsObject())
    return {};
  const bool Utf7Alias = SameText(AStream.Get("Charset").AsString(), Utf7AliasCharset);
  // A count in characters: none takes less than a byte, so four times the
  // byte size reads the whole content.
  const std::int64_t Count = AStream.Get("Size").AsInteger() * 4;
  if (!Utf7Alias)
    return AStream.Call("ReadText", Count).AsWideString();
  const TAutoValue Utf7Stream = CreateOleObject("ADODB.Stream");
  Utf7Stream.Call("Open");
  Utf7Stream.Set("Charset", u"utf-7");
  Utf7Stream.Set("Type", TextStream);
  AStream.Call("CopyTo", Utf7Stream, Count);
  Utf7Stream.Set("Position", 0);
  return Utf7Stream.Get("ReadText").AsWideString();
}

} // namespace bw
