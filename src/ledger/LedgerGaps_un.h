// The bookkeeping of recorders' gaps that both stores share: how a new gap
// joins a recorder's list, and the one line of text a list is kept as.
//
// Each store keeps one value per recorder (LMDB: a "meta" entry; Redis: a
// field of one hash), so a gap is recorded by reading that value, merging
// here, and writing it back in one transaction.
#pragma once

#include "ledger/LedgerOptions_un.h"
#include "ledger/LedgerStore_un.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The most gaps one recorder keeps, and the longest recorder name and
// reason a store keeps (longer ones are cut).
inline constexpr std::size_t MaxGapsPerRecorder = 64;
inline constexpr std::size_t MaxRecorderNameSize = 255;
inline constexpr std::size_t MaxGapReasonSize = 200;

// The recorder a store keeps its own lost records under: AOptions.Recorder,
// or the host's name when that is empty.
std::string LedgerRecorderName(const TLedgerOptions &AOptions);

// A recorder name as a store keeps it: its control bytes as "?", cut to
// MaxRecorderNameSize. Empty stays empty (the caller refuses it).
std::string StoredRecorderName(std::string_view ARecorder);

// ARecorderGaps (one recorder's, oldest first, disjoint) with ANew merged
// in: the gaps it overlaps or touches become one with both reasons; those
// that ended before ACutoff are dropped; when more than MaxGapsPerRecorder
// remain, the oldest are merged with their next (so a gap only ever grows).
// A gap whose To lies before its From is taken the other way round.
std::vector<TLedgerGap> MergeGap(std::vector<TLedgerGap> ARecorderGaps, TLedgerGap ANew, TLedgerTime ACutoff);

// One recorder's gaps as the stores keep them: "FROM TO REASON" a line,
// times in seconds since the epoch; and back, skipping lines that do not
// read (a value another version wrote), with ARecorder as their recorder.
std::string GapsText(const std::vector<TLedgerGap> &AGaps);
std::vector<TLedgerGap> ParseGapsText(std::string_view ARecorder, std::string_view AText);

} // namespace bw
