// Bounded whole-file reading over POSIX descriptors.
//
// Two ways of reading, chosen by what the descriptor is: a regular file is
// judged by its size before a byte is read; a stream (pipe, FIFO, terminal,
// socket, device) can only be read up to the bound, and is then drained so
// that its writer can finish.
#include "rtl/Files_un.h"

#include "rtl/FileDescriptor_un.h"
#include "rtl/Format_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace bw {

static constexpr std::string_view OpenErrorFormat = "Cannot open file \"%s\". %s";
static constexpr std::string_view ReadErrorFormat = "Cannot read file \"%s\". %s";
// How the messages name standard input: "-" is no file's name.
static constexpr std::string_view StandardInputDisplayName = "<standard input>";

// The name made absolute against the working directory; links are not resolved.
static std::string ExpandFileName(const std::string &AFileName) {
  std::error_code Error;
  const std::filesystem::path Absolute = std::filesystem::absolute(AFileName, Error);
  if (Error)
    return AFileName;
  return Absolute.lexically_normal().string();
}

// The source as an error message names it. A file name may hold any byte
// but "/" and NUL, control characters included.
static std::string DisplayName(const std::string &AFileName) {
  if (AFileName == StandardInputName)
    return std::string(StandardInputDisplayName);
  return OneLineText(ExpandFileName(AFileName));
}

// AFormat with its two "%s" filled: the source's name and the system's text
// for AErrorCode.
static std::string FileErrorText(std::string_view AFormat, const std::string &AFileName, int AErrorCode) {
  return FormatMessage(AFormat, {DisplayName(AFileName), TrimErrorText(SystemErrorText(AErrorCode))});
}

[[noreturn]] static void RaiseOpenError(const std::string &AFileName, int AErrorCode) {
  throw EFOpenError(FileErrorText(OpenErrorFormat, AFileName, AErrorCode));
}

[[noreturn]] static void RaiseReadError(const std::string &AFileName, int AErrorCode) {
  throw EReadError(FileErrorText(ReadErrorFormat, AFileName, AErrorCode));
}

struct TReadResult {
  std::size_t Count = 0;  // bytes that arrived
  int Error = 0;          // errno of the read that failed, or 0
};

// Reads until ACount bytes arrived, the source ended or a read failed.
static TReadResult ReadFully(int AFile, char *ABuffer, std::size_t ACount) {
  TReadResult Result;
  while (Result.Count < ACount) {
    const ssize_t Count = ::read(AFile, ABuffer + Result.Count, ACount - Result.Count);
    if (Count < 0 && errno == EINTR)
      continue;
    if (Count < 0)
      Result.Error = errno;
    if (Count <= 0)
      break;
    Result.Count += static_cast<std::size_t>(Count);
  }
  return Result;
}

// ReadFully, raising when a read fails. A source whose first read fails
// could not be read at all and is reported as one that could not be opened;
// a failure after some bytes raises EReadError rather than handing back
// part of a message, which must never be judged as if it were all of it.
static std::size_t ReadOrRaise(int AFile, const std::string &AFileName, char *ABuffer, std::size_t ACount) {
  const TReadResult Read = ReadFully(AFile, ABuffer, ACount);
  if (Read.Error == 0)
    return Read.Count;
  if (Read.Count == 0)
    RaiseOpenError(AFileName, Read.Error);
  RaiseReadError(AFileName, Read.Error);
}

// Reads what is left to its end. A failure only ends it early: the verdict
// no longer depends on these bytes.
static void Drain(int AFile) {
  char Buffer[65536];
  while (ReadFully(AFile, Buffer, sizeof Buffer).Count == sizeof Buffer) {
  }
}

// A regular file: judged by its size, then read with the bytes that actually
// arrive (a file that shrank meanwhile is not an error).
static bool ReadRegularFile(int AFile, const std::string &AFileName, off_t ASize, std::size_t ALimit,
                            std::string &AContent) {
  if (ASize <= 0 || static_cast<std::uint64_t>(ASize) >= ALimit)
    return false;
  AContent.resize(static_cast<std::size_t>(ASize));
  AContent.resize(ReadOrRaise(AFile, AFileName, AContent.data(), AContent.size()));
  return true;
}

// A stream: its size says nothing, so read up to the bound itself (ALimit
// bytes arriving means too many). A pipe, FIFO or socket is then read to its
// end, so that a writer never sees its reader go away early; a terminal or a
// device may never end, and is left alone.
static bool ReadStream(int AFile, bool AOwned, const std::string &AFileName, mode_t AMode, std::size_t ALimit,
                       std::string &AContent) {
  // Opened non-blocking for the open's sake; the reads must wait for data.
  // Standard input's flags belong to whoever shares it, and stay as they are.
  if (AOwned) {
    const int Flags = ::fcntl(AFile, F_GETFL);
    if (Flags >= 0)
      ::fcntl(AFile, F_SETFL, Flags & ~O_NONBLOCK);
  }
  AContent.resize(ALimit);
  AContent.resize(ReadOrRaise(AFile, AFileName, AContent.data(), AContent.size()));
  if (S_ISFIFO(AMode) || S_ISSOCK(AMode))
    Drain(AFile);
  if (AContent.empty() || AContent.size() >= ALimit) {
    AContent.clear();
    return false;
  }
  return true;
}

bool ReadBoundedFile(const std::string &AFileName, std::size_t ALimit, std::string &AContent) {
  AContent.clear();
  // Non-blocking, so that opening a FIFO without a writer cannot hang.
  // Standard input is borrowed, never closed.
  const bool Owned = AFileName != StandardInputName;
  TFileDescriptor Opened;
  if (Owned) {
    Opened.Reset(::open(AFileName.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!Opened.IsValid())
      RaiseOpenError(AFileName, errno);
  }
  const int File = Owned ? Opened.Get() : STDIN_FILENO;
  // A closed standard input fails here, with EBADF.
  struct stat Status {};
  if (::fstat(File, &Status) != 0)
    RaiseOpenError(AFileName, errno);
  if (S_ISDIR(Status.st_mode))
    RaiseOpenError(AFileName, EISDIR);
  if (S_ISREG(Status.st_mode))
    return ReadRegularFile(File, AFileName, Status.st_size, ALimit, AContent);
  return ReadStream(File, Owned, AFileName, Status.st_mode, ALimit, AContent);
}

} // namespace bw
