// The whole check in-process on arbitrary file content.
//
// Half of the inputs use a fixed sender and pattern; the other half take both
// from the input's first two lines, so that odd senders and patterns meet
// odd messages too.
#include "FuzzSupport.h"

#include "detector/BackscatterDetector_un.h"
#include "rtl/SysUtils_un.h"

#include <cstddef>
#include <cstdint>
#include <string>

static std::string_view TakeLine(std::string_view &AInput) {
  const std::size_t End = AInput.find('\n');
  const std::string_view Line = AInput.substr(0, End);
  AInput.remove_prefix(End == std::string_view::npos ? AInput.size() : End + 1);
  return Line;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *AData, std::size_t ASize) {
  bwfuzz::InitOnce();
  std::string_view Input(reinterpret_cast<const char *>(AData), ASize);
  std::string Sender, Pattern = ".*@example\\.com$";
  if (!Input.empty() && (static_cast<unsigned char>(Input[0]) & 1)) {
    Input.remove_prefix(1);
    Sender = std::string(TakeLine(Input));
    Pattern = std::string(TakeLine(Input));
  }
  const std::string &Path = bwfuzz::WriteScratch(Input);
  try {
    (void)bw::TBackscatterDetector::IsBackscatter(Sender, Path, Pattern);
  } catch (const bw::Exception &) {
    // An error line is a legitimate outcome; crashes, leaks and hangs are not.
  }
  return 0;
}
