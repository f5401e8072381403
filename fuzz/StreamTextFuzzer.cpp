// Text decoding of a stream with an arbitrary charset name and content,
// through the same path as a returned part (the UTF-7 detour included), and
// the Message-ID search over the text.
#include "FuzzSupport.h"

#include "automation/stream/AdoStream_un.h"
#include "detector/MessageIdText_un.h"
#include "detector/PartText_un.h"
#include "rtl/Charset_un.h"
#include "rtl/SysUtils_un.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *AData, std::size_t ASize) {
  bwfuzz::InitOnce();
  const std::string_view Input(reinterpret_cast<const char *>(AData), ASize);
  const std::size_t Split = Input.find('\n');
  if (Split == std::string_view::npos)
    return 0;
  const std::string Charset(Input.substr(0, Split));
  const std::string_view Content = Input.substr(Split + 1);
  try {
    const bw::TAutoValue Stream = bw::NewTextStream(bw::TSharedBytes(std::string(Content)), bw::AnsiToWide(Charset));
    (void)bw::ExtractMessageID(bw::ReadStreamText(Stream));
  } catch (const bw::Exception &) {
  }
  return 0;
}
