// The exit codes of bouncewarden-milter and bouncewarden-ledger (sysexits.h
// values), each with the one line that --help shows and that the man pages
// open its entry with, so that the three never tell different stories.
#pragma once

#include <sysexits.h>

#include <span>
#include <string>

namespace bw {

struct TExitCodeInfo {
  int Code;
  const char *Meaning;
};

// lookup: not every ID was found; batv verify: the address has no valid tag.
inline constexpr int ExitNotFound = 1;
// batv verify: the tag is ours but has expired.
inline constexpr int ExitBatvExpired = 2;

inline constexpr TExitCodeInfo MilterExitCodes[] = {
    {EX_OK, "stopped by SIGTERM or SIGINT, --help or --version was asked for, or --check-config found the settings usable"},
    {EX_USAGE, "a wrong command line"},
    {EX_NOINPUT, "a key file (the ledger's or BATV's) cannot be read"},
    {EX_NOUSER, "an unknown user or group"},
    {EX_UNAVAILABLE, "another process answers on the socket"},
    {EX_SOFTWARE, "the milter library failed"},
    {EX_OSERR, "a system call failed (socket, ownership, privileges)"},
    {EX_CONFIG, "a setting that cannot work (a bad pattern or configuration file, an address list that cannot be "
                "read or holds a bad line, running as root, a ledger with another key or one that cannot be used; "
                "with --check-config, any reason)"},
};

inline constexpr TExitCodeInfo LedgerToolExitCodes[] = {
    {EX_OK, "done; for lookup, every ID was found"},
    {ExitNotFound, "lookup: an ID was not found; batv verify: the address has no valid tag"},
    {ExitBatvExpired, "batv verify: the tag has expired"},
    {EX_USAGE, "the command line is wrong"},
    {EX_DATAERR, "an argument holds no Message-ID, or no address to sign"},
    {EX_NOINPUT, "the key file, or a file or folder to import, cannot be read"},
    {EX_UNAVAILABLE, "the ledger cannot be opened or read"},
    {EX_CANTCREAT, "init: the key file or a folder cannot be created"},
    {EX_IOERR, "the ledger is full"},
    {EX_TEMPFAIL, "the ledger stopped answering or taking records"},
    {EX_CONFIG, "the ledger was keyed with another key"},
};

// "Exit codes:" and a line per code, for --help.
std::string ExitCodesHelp(std::span<const TExitCodeInfo> ACodes);

} // namespace bw
