// "name = value" files over an option table.
#include "rtl/ConfigFile_un.h"

#include "rtl/FileDescriptor_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace bw {

std::optional<bool> ParseSwitch(std::string_view AText) {
  for (const std::string_view Yes : {"yes", "true", "on", "1"})
    if (SameText(AText, Yes))
      return true;
  for (const std::string_view No : {"no", "false", "off", "0"})
    if (SameText(AText, No))
      return false;
  return std::nullopt;
}

static const TOptionInfo *FindByName(std::span<const TOptionInfo> AOptions, std::string_view AName) {
  const auto Found = std::find_if(AOptions.begin(), AOptions.end(),
                                  [AName](const TOptionInfo &AInfo) { return AName == AInfo.Name; });
  return Found == AOptions.end() ? nullptr : &*Found;
}

// The reason one line cannot be applied, or nothing when it is fine.
static TResult<void> ApplyLine(std::string_view ALine, std::span<const TOptionInfo> AOptions,
                               const TApplyOption &AApply) {
  if (std::any_of(ALine.begin(), ALine.end(),
                  [](char C) { return (static_cast<unsigned char>(C) < 0x20 && C != '\t') || C == 0x7F; }))
    return Failure("a control character");
  const std::string Trimmed = TrimBytes(ALine);
  if (Trimmed.empty() || Trimmed.front() == '#')
    return {};
  const std::size_t Equals = Trimmed.find('=');
  if (Equals == std::string::npos)
    return Failure("\"name = value\" expected");
  const std::string Name = TrimBytes(std::string_view(Trimmed).substr(0, Equals));
  const std::string Value = TrimBytes(std::string_view(Trimmed).substr(Equals + 1));
  const TOptionInfo *Info = FindByName(AOptions, Name);
  if (!Info)
    return Failure("unknown setting \"" + OneLineText(Name) + "\"");
  if (!Info->Argument) {
    const std::optional<bool> On = ParseSwitch(Value);
    if (!On)
      return Failure(Name + " takes yes or no");
    if (!*On)
      return {};  // every flag is off by default
  }
  if (const TResult<void> Applied = AApply(*Info, Info->Argument ? std::string_view(Value) : "", osConfigFile);
      !Applied)
    return Failure("invalid value \"" + OneLineText(Value) + "\" for " + Name +
                   (Applied.error().empty() ? "" : ": " + Applied.error()));
  return {};
}

TResult<void> ApplyConfigText(std::string_view AText, std::string_view AFileName,
                              std::span<const TOptionInfo> AOptions, const TApplyOption &AApply) {
  std::size_t Number = 0;
  while (!AText.empty()) {
    ++Number;
    const std::size_t End = AText.find('\n');
    std::string_view Line = AText.substr(0, End);
    AText.remove_prefix(End == std::string_view::npos ? AText.size() : End + 1);
    if (Line.ends_with('\r'))
      Line.remove_suffix(1);
    if (const TResult<void> Applied = ApplyLine(Line, AOptions, AApply); !Applied)
      return Failure(OneLineText(std::string(AFileName)) + ":" + std::to_string(Number) + ": " + Applied.error());
  }
  return {};
}

TResult<bool> ApplyConfigFile(const std::string &AFileName, TMissingFile AMissing,
                              std::span<const TOptionInfo> AOptions, const TApplyOption &AApply) {
  const std::string Shown = OneLineText(AFileName);
  TFileDescriptor File(open(AFileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!File.IsValid()) {
    const int Error = errno;
    if (Error == ENOENT && AMissing == mfNoSettings)
      return false;
    return Failure(SystemError(Shown + ": cannot be read", Error));
  }
  struct stat Status {};
  if (fstat(File.Get(), &Status) != 0)
    return Failure(SystemError(Shown + ": cannot be read", errno));
  if (S_ISDIR(Status.st_mode))
    return Failure(SystemError(Shown + ": cannot be read", EISDIR));
  std::string Text;
  char Buffer[65536];
  for (;;) {
    const ssize_t Read = read(File.Get(), Buffer, sizeof Buffer);
    if (Read < 0 && errno == EINTR)
      continue;
    if (Read < 0)
      return Failure(SystemError(Shown + ": cannot be read", errno));
    if (Read == 0)
      break;
    Text.append(Buffer, static_cast<std::size_t>(Read));
    if (Text.size() > MaxConfigFileSize)
      return Failure(Shown + ": larger than " + std::to_string(MaxConfigFileSize) + " bytes");
  }
  if (const TResult<void> Applied = ApplyConfigText(Text, AFileName, AOptions, AApply); !Applied)
    return Failure(Applied.error());
  return true;
}

} // namespace bw
