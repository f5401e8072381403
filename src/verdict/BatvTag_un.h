// The signed envelope sender of BATV's "prvs" scheme: the tag an outgoing
// sender carries, and its check when a bounce comes back to it.
//
// A tagged address is "prvs=KDDDSSSSSS=local@domain": K the key number (one
// digit), DDD the day the tag expires (days since 1970-01-01, modulo 1000),
// SSSSSS the first three bytes, in hex, of HMAC-SHA-1 under the key of the
// text "KDDD" followed by the untagged address. Every function here is pure:
// the key, the key number, the day and the address are all it knows, so a
// tag made here verifies wherever the scheme is implemented, and back.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace bw {

// A site's BATV key, its HMAC-SHA-1 key once set up. Copies share it;
// thread-safe.
class TBatvKey {
public:
  // The key file in the ledger key's format (ReadSiteKeyFile): raises
  // ELedgerKeyError naming the file when it cannot be used.
  static TBatvKey FromKeyFile(const std::string &AFileName);
  // Any bytes; the key file keeps them at 16 at least.
  explicit TBatvKey(std::string_view AKey);

  // The first three bytes of HMAC-SHA-1 of ASource, as six lower-case hex digits.
  std::string Signature(std::string_view ASource) const;

private:
  std::shared_ptr<void> FKeyed;  // GLib's GHmac after the key, kept out of this header
};

// A key number's key, for the numbers in use: the current one, and the
// previous one during a rotation.
using TBatvKeys = std::array<std::optional<TBatvKey>, 10>;

// The days since 1970-01-01 (UTC) of ATime.
std::int64_t BatvDay(std::chrono::system_clock::time_point ATime);

// AAddress tagged with AKey as key number AKeyNumber (0 to 9), expiring on
// AExpiryDay (days since 1970-01-01; only its last three digits are kept).
std::string BatvSign(const TBatvKey &AKey, unsigned AKeyNumber, std::int64_t AExpiryDay, std::string_view AAddress);

// The parts of a tagged address, as views into it.
struct TBatvAddress {
  unsigned KeyNumber = 0;
  unsigned ExpiryDay = 0;      // modulo 1000
  std::string_view Signature;  // six hex digits, as written (any case)
  std::string_view Address;    // untagged: what was signed
};

// The parts of AAddress when it is a tagged one: "prvs=" (any case), one
// digit, three digits, six hex digits, "=", then an address with a local
// part and a domain. Nothing otherwise.
std::optional<TBatvAddress> ParseBatvAddress(std::string_view AAddress);

// AAddress without its tag; AAddress itself when it carries none.
std::string_view UntaggedAddress(std::string_view AAddress);

enum TBatvCheck : std::uint8_t {
  bcAbsent,   // no tag
  bcValid,    // made with one of the keys, and not expired
  bcExpired,  // made with one of the keys, but its day is past
  bcInvalid   // a tag no key of ours made (or of a key number we do not hold)
};

// Whether AAddress carries a tag of AKeys that is still valid on AToday
// (days since 1970-01-01). A tag expires the day after its DDD, and one
// whose DDD lies more than ALifetimeDays ahead is expired too: the day wraps
// at 1000, so a day far ahead is one long past.
TBatvCheck BatvVerify(const TBatvKeys &AKeys, std::int64_t AToday, unsigned ALifetimeDays, std::string_view AAddress);

// "absent", "valid", "expired", "invalid", as the logs and the tool say it.
std::string_view BatvCheckName(TBatvCheck ACheck);

} // namespace bw
