// The ledger's option table and the judge its settings open.
#include "verdict/LedgerSettings_un.h"

#include "ledger/LedgerGaps_un.h"
#include "ledger/LedgerKey_un.h"
#include "ledger/LedgerOpen_un.h"
#include "ledger/LedgerUri_un.h"
#include "rtl/Numbers_un.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace bw {

// The decimal text of N at compile time, so that a number the ledger's
// header defines can be the table's default without being written twice.
template <unsigned N> struct TDecimalText {
  char Text[11]{};
  constexpr TDecimalText() {
    char Reversed[11]{};
    int Length = 0;
    unsigned Rest = N;
    do {
      Reversed[Length++] = static_cast<char>('0' + Rest % 10);
      Rest /= 10;
    } while (Rest > 0);
    for (int I = 0; I < Length; ++I)
      Text[I] = Reversed[Length - 1 - I];
  }
};
template <unsigned N> inline constexpr TDecimalText<N> DecimalText{};

static constexpr TOptionInfo LedgerOptions[] = {
    {"ledger", "URI", dkValue, DefaultLedgerUri,
     "the ledger of the Message-IDs of sent mail: lmdb:PATH, redis://[USER@]HOST[:PORT][/DB], "
     "redis+unix:PATH[?db=N] or redis+sentinel://HOST[:PORT][,HOST[:PORT]...]/MASTER[/DB]",
     liLedger},
    {"ledger-key-file", "FILE", dkValue, DefaultLedgerKeyFile,
     "the site's key for the ledger (bouncewarden-ledger init makes it); every host of one ledger shares it",
     liLedgerKeyFile},
    {"ledger-previous-key-file", "FILE", dkNone, nullptr,
     "the key the ledger was keyed with before a rotation: IDs are looked up under it too; keep it for one "
     "retention after the switch",
     liLedgerPreviousKeyFile},
    {"ledger-password-file", "FILE", dkNone, nullptr,
     "a Redis ledger's password (or \"USER PASSWORD\" on one line for an ACL user), never on the command line",
     liLedgerPasswordFile},
    {"ledger-recorder", "NAME", dkText, "the host name",
     "this host's name among the ledger's recorders (their marks and gaps; bouncewarden-ledger retire takes it)",
     liLedgerRecorder},
    {"retention", "DAYS", dkValue, DecimalText<DefaultRetentionDays>.Text,
     "how long a recorded ID counts (keep it alike in the milter and bouncewarden-ledger)", liRetention},
    {"ledger-map-size", "MIB", dkValue, DecimalText<DefaultMapSizeMiB>.Text,
     "the most an LMDB ledger may grow to (keep it alike in the milter and bouncewarden-ledger)", liLedgerMapSize},
    {"ledger-timeout", "MS", dkValue, DecimalText<DefaultLedgerTimeoutMs>.Text,
     "the longest a Redis ledger may take to answer before a check goes on without it", liLedgerTimeout},
};

std::span<const TOptionInfo> LedgerOptionTable() { return LedgerOptions; }

static TResult<void> Accepted(bool AValid) { return AValid ? TResult<void>() : Failure(""); }

TResult<void> ApplyLedgerOption(int AId, std::string_view AValue, TOptionSource ASource, TLedgerSettings &ASettings) {
  switch (AId) {
  case liLedger: {
    const TResult<TLedgerLocation> Location = ParseLedgerUri(AValue);
    if (!Location)
      return Failure(Location.error());
    ASettings.Uri = AValue;
    ASettings.UriGiven = ASource != osDefault;
    return {};
  }
  case liLedgerKeyFile:
    ASettings.KeyFile = AValue;
    return Accepted(!AValue.empty());
  case liLedgerPreviousKeyFile:
    ASettings.PreviousKeyFile = AValue;
    return Accepted(!AValue.empty());
  case liLedgerPasswordFile:
    ASettings.PasswordFile = AValue;
    return Accepted(!AValue.empty());
  case liLedgerRecorder:
    ASettings.Recorder = AValue;
    return Accepted(!AValue.empty() && AValue.size() <= MaxRecorderNameSize &&
                    std::none_of(AValue.begin(), AValue.end(), [](char C) { return C <= ' ' || C == 0x7F; }));
  case liRetention: {
    const std::optional<unsigned> Days = ParseDecimal<unsigned>(AValue, 1, 3650);
    ASettings.RetentionDays = Days.value_or(ASettings.RetentionDays);
    return Accepted(Days.has_value());
  }
  case liLedgerMapSize: {
    const std::optional<unsigned> MiB = ParseDecimal<unsigned>(AValue, 1, 1u << 20);
    ASettings.MapSizeMiB = MiB.value_or(ASettings.MapSizeMiB);
    return Accepted(MiB.has_value());
  }
  case liLedgerTimeout: {
    const std::optional<unsigned> Ms = ParseDecimal<unsigned>(AValue, 1, 60000);
    ASettings.TimeoutMs = Ms.value_or(ASettings.TimeoutMs);
    ASettings.TimeoutGiven = ASource != osDefault;
    return Accepted(Ms.has_value());
  }
  default:
    break;
  }
  return Failure("");
}

TLedgerSettings DefaultLedgerSettings() {
  TLedgerSettings Settings;
  ApplyDefaults(LedgerOptions, [&Settings](const TOptionInfo &AInfo, std::string_view AValue, TOptionSource ASource) {
    return ApplyLedgerOption(AInfo.Id, AValue, ASource, Settings);
  });
  return Settings;
}

TLedgerOptions TLedgerSettings::StoreOptions(TLedgerOpening AOpening) const {
  TLedgerOptions Options;
  Options.Uri = Uri;
  Options.Opening = AOpening;
  Options.Retention = std::chrono::days(RetentionDays);
  Options.MapSize = std::uint64_t(MapSizeMiB) << 20;
  Options.Timeout = std::chrono::milliseconds(TimeoutMs);
  Options.PasswordFile = PasswordFile;
  Options.Recorder = Recorder;
  return Options;
}

std::unique_ptr<TLedgerJudge> OpenLedgerJudge(const TLedgerSettings &ASettings, const TLedgerOptions &AStoreOptions,
                                              TLedgerLog ALog) {
  TLedgerHasher Hasher = TLedgerHasher::FromKeyFile(ASettings.KeyFile);
  TLedgerJudgeSettings Judging{AStoreOptions.Retention, std::nullopt, LedgerRecorderName(AStoreOptions),
                               AStoreOptions.Timeout};
  if (!ASettings.PreviousKeyFile.empty())
    Judging.PreviousHasher = TLedgerHasher::FromKeyFile(ASettings.PreviousKeyFile);
  return std::make_unique<TLedgerJudge>(OpenLedgerStore(AStoreOptions, std::move(ALog)), std::move(Hasher),
                                        std::move(Judging));
}

} // namespace bw
