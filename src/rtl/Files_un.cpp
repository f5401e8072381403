// Bounded whole-file reading over POSIX descriptors.
#include "rtl/Files_un.h"

#include "rtl/SysUtils_un.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace bw {

namespace {
// Owner of one file descriptor; standard input is borrowed, never closed.
class TFileHandle {
public:
  explicit TFileHandle(int AHandle, bool AOwned) noexcept : FHandle(AHandle), FOwned(AOwned) {}
  TFileHandle(const TFileHandle &) = delete;
  TFileHandle &operator=(const TFileHandle &) = delete;
  ~TFileHandle() {
    if (FOwned && FHandle >= 0)
      ::close(FHandle);
  }
  int Get() const noexcept { return FHandle; }

private:
  int FHandle;
  bool FOwned;
};
} // namespace

// The name made absolute against the working directory; links are not resolved.
static std::string ExpandFileName(const std::string &AFileName) {
  std::error_code Error;
  const std::filesystem::path Absolute = std::filesystem::absolute(AFileName, Error);
  if (Error)
    return AFileName;
  return Absolute.lexically_normal().string();
}

[[noreturn]] static void RaiseOpenError(const std::string &AFileName, int AErrorCode) {
  throw EFOpenError("Cannot open file \"" + ExpandFileName(AFileName) + "\". " +
                    TrimErrorText(std::strerror(AErrorCode)));
}

// Reads up to ACount bytes into ABuffer; returns how many arrived before the
// end, or -1 with errno set when the very first read fails.
static ssize_t ReadFully(int AFile, char *ABuffer, std::size_t ACount) {
  std::size_t Done = 0;
  while (Done < ACount) {
    const ssize_t Count = ::read(AFile, ABuffer + Done, ACount - Done);
    if (Count < 0 && errno == EINTR)
      continue;
    if (Count < 0 && Done == 0)
      return -1;
    if (Count <= 0)
      break;
    Done += static_cast<std::size_t>(Count);
  }
  return static_cast<ssize_t>(Done);
}

static void Drain(int AFile) {
  char Buffer[65536];
  while (ReadFully(AFile, Buffer, sizeof Buffer) > 0) {
  }
}

bool ReadBoundedFile(const std::string &AFileName, std::size_t ALimit, std::string &AContent) {
  AContent.clear();
  const bool FromStandardInput = AFileName == StandardInputName;
  // Non-blocking, so that opening a FIFO without a writer cannot hang.
  const TFileHandle File(FromStandardInput ? STDIN_FILENO
                                           : ::open(AFileName.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC),
                         !FromStandardInput);
  if (File.Get() < 0)
    RaiseOpenError(AFileName, errno);
  struct stat Status {};
  if (::fstat(File.Get(), &Status) != 0)
    RaiseOpenError(AFileName, errno);
  if (S_ISDIR(Status.st_mode))
    RaiseOpenError(AFileName, EISDIR);

  if (S_ISREG(Status.st_mode)) {
    if (Status.st_size <= 0 || static_cast<std::uint64_t>(Status.st_size) >= ALimit)
      return false;
    AContent.resize(static_cast<std::size_t>(Status.st_size));
    const ssize_t Count = ReadFully(File.Get(), AContent.data(), AContent.size());
    if (Count < 0)
      RaiseOpenError(AFileName, errno);
    AContent.resize(static_cast<std::size_t>(Count));
    return true;
  }

  // Its size says nothing: read up to one byte past the bound to know.
  if (!FromStandardInput) {
    const int Flags = ::fcntl(File.Get(), F_GETFL);
    if (Flags >= 0)
      ::fcntl(File.Get(), F_SETFL, Flags & ~O_NONBLOCK);
  }
  AContent.resize(ALimit);
  const ssize_t Count = ReadFully(File.Get(), AContent.data(), AContent.size());
  if (Count < 0)
    RaiseOpenError(AFileName, errno);
  AContent.resize(static_cast<std::size_t>(Count));
  if (S_ISFIFO(Status.st_mode) || S_ISSOCK(Status.st_mode))
    Drain(File.Get());
  if (AContent.empty() || AContent.size() >= ALimit) {
    AContent.clear();
    return false;
  }
  return true;
}

} // namespace bw
