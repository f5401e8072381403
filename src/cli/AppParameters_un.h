// The parsed command line.
#pragma once

#include <cstdint>
#include <string>

namespace bw {

enum TAppAction : std::uint8_t { aaShowHelp = 0, aaCheckFile = 1 };

struct TAppParameters {
  std::string MimeFile;
  std::string P1Sender;
  std::string MsgIdRegex;
  TAppAction Action = aaShowHelp;
};

} // namespace bw
