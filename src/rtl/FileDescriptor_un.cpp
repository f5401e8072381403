// The descriptor owner's close.
#include "rtl/FileDescriptor_un.h"

#include <unistd.h>

namespace bw {

void TFileDescriptor::Reset(int AFd) noexcept {
  Close();
  FFd = AFd;
}

int TFileDescriptor::Close() noexcept {
  if (FFd < 0)
    return 0;
  return ::close(std::exchange(FFd, -1));
}

} // namespace bw
