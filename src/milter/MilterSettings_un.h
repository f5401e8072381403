// What a reload can change, as one immutable snapshot: the options, the
// pattern compiled from them and the ledger judge they open.
//
// A transaction takes the snapshot that is current at its MAIL FROM and
// keeps it to its end, so that a reload never changes a decision halfway;
// the next transaction takes the new one. A judge whose settings a reload
// leaves alone passes from one snapshot to the next, and an old one lives
// until the last transaction that holds it ends.
#pragma once

#include "detector/MessageIdMatch_un.h"
#include "milter/MilterLog_un.h"
#include "milter/MilterOptions_un.h"
#include "milter/MilterUpkeep_un.h"
#include "verdict/BatvSettings_un.h"
#include "verdict/LedgerJudge_un.h"
#include "verdict/RecipientRule_un.h"
#include "verdict/Verdict_un.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bw {

struct TMilterSettings {
  TMilterOptions Options;
  TGivenSettings Given;
  std::shared_ptr<const TMessageIdPattern> Pattern;  // null without a pattern
  std::shared_ptr<TLedgerJudge> Ledger;               // null without a ledger, or until it is opened
  // The ledger's key check and recorder's marks: with the ledger, after it
  // (it refers to the judge).
  std::shared_ptr<TLedgerUpkeep> Upkeep;
  // The recipient rules and BATV's keys: null without those options, or
  // until they are read.
  std::shared_ptr<const TRecipientJudge> Recipients;

  TJudges Judges() const noexcept {
    return {Pattern.get(), Ledger.get(), Options.LedgerOnly, Options.OnLedgerOutage};
  }
};
using TMilterSettingsPtr = std::shared_ptr<const TMilterSettings>;

// A snapshot of AOptions with its pattern compiled (and studied) once; no
// ledger yet.
std::shared_ptr<TMilterSettings> MakeSettings(TMilterOptions AOptions, TGivenSettings AGiven);

// The upkeep of ASettings' ledger (null without one), logging to ALog.
std::shared_ptr<TLedgerUpkeep> MakeUpkeep(const TMilterSettings &ASettings, TMilterLog &ALog);

// Opens the judge of a snapshot's ledger settings (for a reload the daemon
// opens it as at its start); raises what OpenLedgerJudge raises.
using TLedgerOpener = std::function<std::shared_ptr<TLedgerJudge>(const TMilterOptions &AOptions)>;

// Reads the recipient rules' lists and BATV's keys of a snapshot's options
// (for a reload as at the start); raises what OpenRecipientJudge raises.
using TRecipientsOpener = std::function<std::shared_ptr<const TRecipientJudge>(const TMilterOptions &AOptions)>;

// What a reload made of a new reading of the settings.
struct TReload {
  TMilterSettingsPtr Settings;  // to install; null when the running settings stay
  // The log's lines: what changed, what waits for a restart, or why the
  // running settings stay.
  std::vector<std::string> Lines;
};

// The snapshot that replaces ARunning with ANew: the settings only a restart
// can change keep their running values (each named in a line); the ledger is
// the running judge when its settings did not change, a new one from AOpen
// when they did, and the running one with a line when only a restart can
// open it anew (the same LMDB file: one environment per file and process).
// A key file or ledger URI that cannot be used keeps the running settings.
// The recipient rules' lists and keys are read anew (AOpenRecipients); one
// that cannot be read keeps the running settings too. A new ledger gets its
// upkeep, logging to ALog.
TReload ReloadSettings(const TMilterSettings &ARunning, const TMilterParseResult &ANew, const TLedgerOpener &AOpen,
                       const TRecipientsOpener &AOpenRecipients, TMilterLog &ALog);

} // namespace bw
