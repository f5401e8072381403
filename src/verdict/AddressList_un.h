// A list of mail addresses from a file, as the recipient rules take them
// (--batv-exempt, --never-refuse, --no-bounces-to): one entry a line.
//
//   alice@example.com    that address
//   @example.com         every address of that domain (also *@example.com)
//   noreply@             that local part at any domain (also noreply@*)
//
// Blank lines and lines that begin with "#" are skipped, and so is a "#"
// after the entry and a blank. Letter case never counts (ASCII). A line that
// is none of these is refused with "FILE:LINE: reason", so that a typo never
// leaves an address unprotected.
#pragma once

#include "rtl/SysUtils_un.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>

namespace bw {

// The file cannot be read, or a line of it is no entry. The message names
// the file, and the line ("FILE:LINE: reason").
class EAddressListError : public Exception {
public:
  using Exception::Exception;
  const char *ClassName() const noexcept override { return "EAddressListError"; }
};

class TAddressList {
public:
  TAddressList() = default;

  // Raises EAddressListError.
  static TAddressList FromFile(const std::string &AFileName);
  // The entries of AText, each line as in a file; AName names it in errors.
  static TAddressList FromText(std::string_view AText, const std::string &AName);

  // Whether AAddress ("local@domain", without angle brackets) is listed.
  bool Contains(std::string_view AAddress) const;
  bool Empty() const noexcept { return FAddresses.empty() && FDomains.empty() && FLocalParts.empty(); }
  std::size_t Size() const noexcept { return FAddresses.size() + FDomains.size() + FLocalParts.size(); }

private:
  std::unordered_set<std::string> FAddresses;   // "local@domain", lower case
  std::unordered_set<std::string> FDomains;     // "domain"
  std::unordered_set<std::string> FLocalParts;  // "local"
};

// The domain of "local@domain" (after the last "@"), lower-cased; empty
// without one.
std::string DomainOf(std::string_view AAddress);

} // namespace bw
