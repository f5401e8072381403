// The daemon's start-up steps before libmilter's main loop, and the answers
// to a command line that asks for no daemon.
#pragma once

#include "milter/MilterContext_un.h"
#include "milter/MilterOptions_un.h"
#include "milter/MilterSocket_un.h"

#include <memory>
#include <optional>
#include <string>

namespace bw {

// What the heap and GLib must be told before they start: call first in main
// with its argv. Without G_SLICE in the environment, the program is started
// again with G_SLICE=always-malloc (GLib reads it before main runs).
void PrepareMilterProcess(char *AArgv[]);

// The answer to a command line that asks for no daemon (help, version, bad
// usage, bad pattern): the text printed and the exit code (sysexits.h).
int AnswerWithoutRunning(const TMilterParseResult &AParsed);

// Checks the pattern, registers the filter, opens the socket, hands it to
// its owner and drops privileges. A failure is the line for standard error
// and its exit code: 67 unknown user or group, 69 another process answers
// on the socket, 70 libmilter failed, 71 a system call failed, 78 an
// unusable pattern or running as root.
std::optional<TStartupError> StartUp(TMilterContext &AContext);

// Opens the ledger (when an option asks for one) once the process runs as
// its own user, so that the files LMDB creates are that user's and the key
// file is read with the rights every later start has, and attaches it to
// the context. A key file that cannot be read stops the start (66: the
// ledger's keys would mean nothing), and so does a ledger keyed with another
// key (78); a store that cannot be opened does not: it is logged, checks go
// on without it, and it is tried again. A milter that records marks its
// start in the store (TLedgerUpkeep::Start).
std::optional<TStartupError> OpenLedger(TMilterContext &AContext);
// The judge of AOptions' ledger, logging to the context's log; raises what
// OpenLedgerJudge raises. A reload opens its ledger with it too.
std::shared_ptr<TLedgerJudge> OpenMilterLedger(TMilterContext &AContext, const TMilterOptions &AOptions);

// Reads BATV's keys and the recipient rules' address lists (when an option
// asks for them) once the process runs as its own user, as OpenLedger does,
// and attaches them to the context. A key file that cannot be read stops the
// start (66), and so does an address list that cannot be read or holds a
// line that is no entry (78).
std::optional<TStartupError> OpenRecipientRules(TMilterContext &AContext);

// What a snapshot runs with, for the start line and a reload's line.
std::string SettingsLine(const TMilterSettings &ASettings);
// The log line that says the daemon runs, and with what.
std::string StartedLine(TMilterContext &AContext);

} // namespace bw
