// The ledger's settings as both programs take them: one option table
// (--ledger, --ledger-key-file, --ledger-previous-key-file,
// --ledger-password-file, --ledger-recorder, --retention, --ledger-map-size,
// --ledger-timeout)
// with its ranges, messages and help, used by the milter and by
// bouncewarden-ledger alike, and the ledger judge they open.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerStore_un.h"
#include "rtl/OptionTable_un.h"
#include "rtl/Result_un.h"
#include "verdict/LedgerJudge_un.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace bw {

struct TLedgerSettings {
  std::string Uri;
  std::string KeyFile;
  std::string PreviousKeyFile;  // empty: none
  std::string PasswordFile;     // empty: none
  std::string Recorder;         // empty: the host's name
  unsigned RetentionDays = 0;
  unsigned MapSizeMiB = 0;
  unsigned TimeoutMs = 0;
  bool UriGiven = false;      // --ledger was given, not only its default
  bool TimeoutGiven = false;  // --ledger-timeout was given

  // The store's options for these settings; the rest as TLedgerOptions has them.
  TLedgerOptions StoreOptions(TLedgerOpening AOpening) const;
};

// The option table's Ids for the ledger, apart from any program's own.
enum TLedgerOptionId : int {
  liLedger = 2000, liLedgerKeyFile, liRetention, liLedgerMapSize, liLedgerTimeout, liLedgerPreviousKeyFile,
  liLedgerPasswordFile, liLedgerRecorder
};

std::span<const TOptionInfo> LedgerOptionTable();

// Applies one of the table's options to ASettings; the failure's message
// says more than "invalid" where there is more to say (a URI's reason).
TResult<void> ApplyLedgerOption(int AId, std::string_view AValue, TOptionSource ASource, TLedgerSettings &ASettings);

// The settings as the table's defaults set them.
TLedgerSettings DefaultLedgerSettings();

// The judge of these settings: the key files read (ELedgerKeyError naming
// one when it cannot be), the store opened (ELedgerError for a bad URI and,
// under loRequire and loExisting, for a store that cannot be opened), with
// this host's name as its recorder.
std::unique_ptr<TLedgerJudge> OpenLedgerJudge(const TLedgerSettings &ASettings, const TLedgerOptions &AStoreOptions,
                                              TLedgerLog ALog);

} // namespace bw
