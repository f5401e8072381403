// Line output through write(2), so nothing is buffered past the exit code.
#include "rtl/Console_un.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace bw {

void WriteLn(std::string_view ALine) {
  std::string Buffer;
  Buffer.reserve(ALine.size() + 2);
  Buffer.append(ALine).append("\r\n");
  const char *Data = Buffer.data();
  std::size_t Left = Buffer.size();
  while (Left > 0) {
    const ssize_t Written = ::write(STDOUT_FILENO, Data, Left);
    if (Written < 0 && errno == EINTR)
      continue;
    if (Written <= 0)
      return;
    Data += Written;
    Left -= static_cast<std::size_t>(Written);
  }
}

} // namespace bw
