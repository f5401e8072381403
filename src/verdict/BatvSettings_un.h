// The settings of signed envelope senders (BATV) and of the recipient rules,
// as the programs take them: the key options, which the milter and
// bouncewarden-ledger share (--batv-key-file, --batv-key-number,
// --batv-previous-key-file, --batv-lifetime), and the milter's rules
// (--batv-sign, --batv-verify, --batv-require, --batv-domains,
// --batv-exempt, --bounce-one-recipient, --never-refuse, --no-bounces-to),
// each in one option table with its ranges and help; and the judge those
// settings open.
#pragma once

#include "rtl/OptionTable_un.h"
#include "rtl/Result_un.h"
#include "verdict/BatvTag_un.h"
#include "verdict/RecipientRule_un.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

inline constexpr const char *DefaultBatvKeyFile = "/etc/bouncewarden/batv.key";

struct TBatvSettings {
  // Both programs.
  std::string KeyFile;
  unsigned KeyNumber = 0;
  std::string PreviousKeyFile;  // empty: no rotation under way
  unsigned LifetimeDays = 0;
  // The milter's.
  bool Sign = false;
  bool Verify = false;
  bool Require = false;
  std::vector<std::string> Domains;  // lower case; empty: every domain
  std::string ExemptFile;            // empty: none; likewise below
  bool OneRecipient = false;
  std::string NeverRefuseFile;
  std::string NoBouncesToFile;

  // The key number of --batv-previous-key-file: the one before KeyNumber
  // (9 before 0).
  unsigned PreviousKeyNumber() const noexcept { return (KeyNumber + 9) % 10; }
  bool UsesKeys() const noexcept { return Sign || Verify; }
  // Whether any recipient rule is on, so that the milter needs the RCPT step.
  bool UsesRecipients() const noexcept {
    return Verify || OneRecipient || !NeverRefuseFile.empty() || !NoBouncesToFile.empty() ||
           (Sign && !ExemptFile.empty());
  }
  bool Any() const noexcept { return UsesKeys() || UsesRecipients(); }
};

// The option table's Ids, apart from any program's own and the ledger's.
enum TBatvOptionId : int {
  biBatvKeyFile = 3000, biBatvKeyNumber, biBatvPreviousKeyFile, biBatvLifetime, biBatvSign, biBatvVerify,
  biBatvRequire, biBatvDomains, biBatvExempt, biBounceOneRecipient, biNeverRefuse, biNoBouncesTo
};

// The key options, for both programs.
std::span<const TOptionInfo> BatvKeyOptionTable();
// The milter's recipient rules.
std::span<const TOptionInfo> RecipientOptionTable();

// Applies one option of either table to ASettings.
TResult<void> ApplyBatvOption(int AId, std::string_view AValue, TOptionSource ASource, TBatvSettings &ASettings);

// The settings as the tables' defaults set them.
TBatvSettings DefaultBatvSettings();

// The keys: the current one under its number, and during a rotation the
// previous one under the number before. Raises ELedgerKeyError naming a key
// file that cannot be used.
TBatvKeys OpenBatvKeys(const TBatvSettings &ASettings);

// The judge of these settings, with the keys (when signing or verifying)
// and the address lists read. Raises ELedgerKeyError for a key file,
// EAddressListError for a list, each naming the file.
std::unique_ptr<TRecipientJudge> OpenRecipientJudge(const TBatvSettings &ASettings);

} // namespace bw
