// Process-wide set-up for the fuzz targets.
#include "FuzzSupport.h"

#include "automation/runtime/AutomationRuntime_un.h"

#include <fcntl.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <memory>

namespace bwfuzz {

void InitOnce() {
  static const bool Done = [] {
    std::setlocale(LC_ALL, "C.UTF-8");
    // Lives until exit; libFuzzer never returns from its loop normally.
    static bw::TAutomationRuntime Runtime;
    return true;
  }();
  (void)Done;
}

const std::string &WriteScratch(std::string_view AContent) {
  static const std::string Path = [] {
    const char *Dir = std::getenv("TMPDIR");
    return std::string(Dir && *Dir ? Dir : "/tmp") + "/bw-fuzz-" + std::to_string(::getpid()) + ".eml";
  }();
  const int File = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (File < 0)
    std::abort();
  std::size_t Done = 0;
  while (Done < AContent.size()) {
    const ssize_t Count = ::write(File, AContent.data() + Done, AContent.size() - Done);
    if (Count <= 0)
      std::abort();
    Done += static_cast<std::size_t>(Count);
  }
  ::close(File);
  return Path;
}

} // namespace bwfuzz
