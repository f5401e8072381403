// The ledger's key of a Message-ID: a keyed hash, so that the store never
// holds an ID, and the site key file it is keyed with.
//
// Every host that shares one store must share the key file: the same ID
// under another key is another key.
#pragma once

#include "ledger/LedgerStore_un.h"

#include <memory>
#include <string>
#include <string_view>

namespace bw {

// The key file is missing, unreadable, too short, or cannot be created.
// The message names the file.
class ELedgerKeyError : public Exception {
public:
  using Exception::Exception;
  const char *ClassName() const noexcept override { return "ELedgerKeyError"; }
};

inline constexpr const char *DefaultLedgerKeyFile = "/etc/bouncewarden/ledger.key";
// The fewest bytes of key a hasher takes.
inline constexpr std::size_t MinLedgerKeySize = 16;
// What a key's fingerprint is the hash of; no Message-ID looks like it
// (no "@", no angle brackets).
inline constexpr std::string_view LedgerFingerprintLabel = "bouncewarden ledger fingerprint";

// The first 16 bytes of HMAC-SHA-256 of an ID's UTF-8 text under the site
// key. Thread-safe: KeyOf only reads the keyed state it starts each ID from,
// which the constructor made once (copies share it).
class TLedgerHasher {
public:
  // The key is the file's content without the blanks and line ends around
  // it, so an editor that adds or drops the last newline changes nothing.
  // Raises ELedgerKeyError naming the file when it is missing, unreadable or
  // holds fewer than MinLedgerKeySize bytes.
  static TLedgerHasher FromKeyFile(const std::string &AFileName);
  // Raises ELedgerKeyError when AKey is shorter than MinLedgerKeySize.
  explicit TLedgerHasher(std::string AKey);

  TLedgerKey KeyOf(std::string_view AId) const;
  // What the ledger keeps to know the key it was written with, without
  // holding it: the first 8 bytes of HMAC-SHA-256 of LedgerFingerprintLabel
  // under the key, as 16 lower-case hexadecimal digits.
  std::string Fingerprint() const;

private:
  std::shared_ptr<void> FKeyed;  // GLib's GHmac after the key, kept out of this header
};

// Creates AFileName, readable by its owner only (0600), holding 32 random
// bytes from the system as 64 hexadecimal digits and a newline. Returns
// false, changing nothing, when the file exists already. Raises
// ELedgerKeyError naming the file when it cannot be created or written.
bool CreateLedgerKeyFile(const std::string &AFileName);

} // namespace bw
