// Address lists read from files.
#include "verdict/AddressList_un.h"

#include "rtl/Files_un.h"
#include "rtl/Format_un.h"
#include "rtl/StrUtils_un.h"

#include <filesystem>

namespace bw {

static constexpr const char *TooLargeError = "The address list \"%s\" is larger than 64 MiB";
static constexpr const char *LineError = "%s:%s: %s";
static constexpr std::size_t MaxListFileSize = std::size_t{64} * 1024 * 1024;

static bool IsBlank(char C) { return C == ' ' || C == '\t' || C == '\r'; }

static constexpr const char *ControlProblem = "a control character in the entry";
static constexpr const char *NoAtProblem = "\"%s\" has no \"@\" (an address, @domain or local@)";
static constexpr const char *EverythingProblem = "\"%s\" would match every address";
static constexpr const char *StarProblem = "\"%s\": \"*\" stands only for a whole local part or domain";
static constexpr const char *TwoEntriesProblem = "one entry a line (\"%s\" follows \"%s\")";

// Why AEntry is no entry; empty when it is one.
static std::string EntryProblem(std::string_view AEntry) {
  for (const char C : AEntry)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7F)
      return ControlProblem;
  const std::size_t At = AEntry.rfind('@');
  if (At == std::string_view::npos)
    return FormatMessage(NoAtProblem, {AEntry});
  const std::string_view Local = AEntry.substr(0, At), Domain = AEntry.substr(At + 1);
  const bool AnyLocal = Local.empty() || Local == "*", AnyDomain = Domain.empty() || Domain == "*";
  if (AnyLocal && AnyDomain)
    return FormatMessage(EverythingProblem, {AEntry});
  if ((!AnyLocal && Local.find('*') != std::string_view::npos) ||
      (!AnyDomain && Domain.find('*') != std::string_view::npos))
    return FormatMessage(StarProblem, {AEntry});
  return {};
}

TAddressList TAddressList::FromText(std::string_view AText, const std::string &AName) {
  TAddressList List;
  std::size_t LineNumber = 0;
  while (!AText.empty()) {
    ++LineNumber;
    const std::size_t End = AText.find('\n');
    std::string_view Line = AText.substr(0, End);
    AText.remove_prefix(End == std::string_view::npos ? AText.size() : End + 1);
    while (!Line.empty() && IsBlank(Line.front()))
      Line.remove_prefix(1);
    if (Line.empty() || Line.front() == '#')
      continue;
    std::size_t EntryEnd = 0;
    while (EntryEnd < Line.size() && !IsBlank(Line[EntryEnd]))
      ++EntryEnd;
    const std::string_view Entry = Line.substr(0, EntryEnd);
    std::string_view Rest = Line.substr(EntryEnd);
    while (!Rest.empty() && IsBlank(Rest.front()))
      Rest.remove_prefix(1);
    std::string Problem = EntryProblem(Entry);
    if (Problem.empty() && !Rest.empty() && Rest.front() != '#')
      Problem = FormatMessage(TwoEntriesProblem, {Rest, Entry});
    if (!Problem.empty())
      throw EAddressListError(
          FormatMessage(LineError, {OneLineText(AName), std::to_string(LineNumber), OneLineText(Problem)}));
    const std::string Lower = AsciiLowerCase(Entry);
    const std::size_t At = Lower.rfind('@');
    const std::string Local = Lower.substr(0, At), Domain = Lower.substr(At + 1);
    if (Local.empty() || Local == "*")
      List.FDomains.insert(Domain);
    else if (Domain.empty() || Domain == "*")
      List.FLocalParts.insert(Local);
    else
      List.FAddresses.insert(Lower);
  }
  return List;
}

TAddressList TAddressList::FromFile(const std::string &AFileName) {
  std::string Content;
  try {
    // False for an empty file, which lists nothing, and for one over the bound.
    if (!ReadBoundedFile(AFileName, MaxListFileSize, Content) && std::filesystem::file_size(AFileName) > 0)
      throw EAddressListError(WithOneLineName(TooLargeError, AFileName));
  } catch (const EStreamError &E) {  // the message names the file and the system's reason
    throw EAddressListError(E.Message());
  } catch (const std::filesystem::filesystem_error &) {  // gone between the read and the size
    throw EAddressListError(WithOneLineName(TooLargeError, AFileName));
  }
  return FromText(Content, AFileName);
}

std::string DomainOf(std::string_view AAddress) {
  const std::size_t At = AAddress.rfind('@');
  return At == std::string_view::npos ? std::string() : AsciiLowerCase(AAddress.substr(At + 1));
}

bool TAddressList::Contains(std::string_view AAddress) const {
  if (Empty())
    return false;
  const std::string Lower = AsciiLowerCase(AAddress);
  const std::size_t At = Lower.rfind('@');
  if (At == std::string::npos)
    return false;
  return FAddresses.contains(Lower) || FDomains.contains(Lower.substr(At + 1)) ||
         FLocalParts.contains(Lower.substr(0, At));
}

} // namespace bw
