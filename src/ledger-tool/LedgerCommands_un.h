// The ledger tool's commands, private to its units: LedgerTool_un.cpp (the
// command line, init, add, lookup and import) and LedgerReport_un.cpp
// (stats, prune, cover and retire).
#pragma once

#include "ledger-tool/LedgerToolOptions_un.h"
#include "ledger/LedgerStore_un.h"
#include "rtl/SysUtils_un.h"
#include "verdict/LedgerJudge_un.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace bw {

inline constexpr const char *LedgerToolName = "bouncewarden-ledger";
inline constexpr std::chrono::milliseconds ToolTimeout{1000};  // an administrator can wait longer than mail
inline constexpr std::size_t PruneStep = 10000;                // entries per write transaction of prune

// A file or folder that init cannot create.
class ECreateError : public Exception {
public:
  using Exception::Exception;
  const char *ClassName() const noexcept override { return "ECreateError"; }
};

// Recording failed: the import or add stops, with the store's reason.
class ERecordError : public Exception {
public:
  ERecordError(std::string AMessage, TRecordResult AResult) : Exception(std::move(AMessage)), FResult(AResult) {}
  const char *ClassName() const noexcept override { return "ERecordError"; }
  TRecordResult Result() const noexcept { return FResult; }

private:
  TRecordResult FResult;
};

// The ledger was keyed with another key: every lookup would miss.
class EOtherKeyError : public Exception {
public:
  using Exception::Exception;
  const char *ClassName() const noexcept override { return "EOtherKeyError"; }
};

// A time as the tool shows it; "none" without one.
std::string FormatTime(std::optional<TLedgerTime> ATime);
// One line on standard error, after the program's name.
void ReportError(const std::string &AMessage);
void ReportNoMessageId(const std::string &AArg);

class TLedgerTool {
public:
  explicit TLedgerTool(TLedgerToolParameters AParameters) : FParameters(std::move(AParameters)) {}
  int Run();

private:
  int Init();
  int Add();
  int Lookup();
  int Import();
  int Stats();
  int Prune();
  int Cover();
  int Retire();
  // AOpening: loRequire for the commands that write (a missing ledger is
  // created), loExisting for those that only read or that make no sense on
  // a new ledger (it is never created).
  TLedgerOptions StoreOptions(TLedgerOpening AOpening) const;
  std::unique_ptr<ILedgerStore> OpenStore(TLedgerOpening AOpening) const;
  // The store with the site's key, as the milter has it: what add, lookup
  // and import go through. Its key fingerprint is compared (and written
  // into a ledger without one under loRequire); another key's raises
  // EOtherKeyError.
  std::unique_ptr<TLedgerJudge> OpenJudge(TLedgerOpening AOpening) const;
  std::chrono::days Retention() const { return std::chrono::days(FParameters.Ledger.RetentionDays); }
  static void CheckRecorded(TRecordResult AResult);
  void ShowGaps(ILedgerStore &AStore) const;

  TLedgerToolParameters FParameters;
};

} // namespace bw
