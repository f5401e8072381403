// Text decoding of a stream with an arbitrary charset name and content,
// through the same path as a returned part (the UTF-7 detour included).
#include "FuzzSupport.h"

#include "automation/ComObj_un.h"
#include "detector/BackscatterDetector_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {
// The detector's text reading, reached as its tests reach it.
class TPartTextReader : public bw::TBackscatterDetector {
public:
  using bw::TBackscatterDetector::ReadPartText;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *AData, std::size_t ASize) {
  bwfuzz::InitOnce();
  const std::string_view Input(reinterpret_cast<const char *>(AData), ASize);
  const std::size_t Split = Input.find('\n');
  if (Split == std::string_view::npos)
    return 0;
  const std::string Charset(Input.substr(0, Split));
  const std::string_view Content = Input.substr(Split + 1);
  try {
    const bw::TAutoValue Stream = bw::CreateOleObject("ADODB.Stream");
    Stream.Call("Open");
    Stream.Set("Type", 1);
    Stream.Call("Write", bw::TByteArray(Content.begin(), Content.end()));
    Stream.Set("Position", 0);
    Stream.Set("Type", 2);
    Stream.Set("Charset", bw::AnsiToWide(Charset));
    const std::u16string Text = TPartTextReader::ReadPartText(Stream);
    std::string MessageID;
    (void)bw::TBackscatterDetector::ExtractMessageID(Text, MessageID);
  } catch (const bw::Exception &) {
  }
  return 0;
}
