// A configuration file of "name = value" lines over the same option table
// as the command line, so that one entry defines an option, its default,
// its range and its help wherever its value comes from.
//
// The name is the long option's without its dashes; the value is the rest
// of the line, blanks around it removed (no quoting, so a pattern is written
// as on the command line between single quotes). A line whose first
// non-blank byte is "#" and a blank line say nothing. An option without an
// argument (a flag on the command line) takes yes or no (also true/false,
// on/off, 1/0) in the file; "no" leaves it at its default. A name given
// twice takes its last value, as the command line does.
#pragma once

#include "rtl/OptionTable_un.h"
#include "rtl/Result_un.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bw {

// The largest file read: far above any real one, and a bound on a wrong path
// (a log, a device) named by mistake.
inline constexpr std::size_t MaxConfigFileSize = 1 << 20;

// yes/no, true/false, on/off, 1/0 in any case; nothing for anything else.
std::optional<bool> ParseSwitch(std::string_view AText);

// Applies each setting of AText, the content of AFileName, through AApply
// with osConfigFile, in the order of its lines. Only AOptions may be set
// (a program leaves out those that only make sense on a command line). The
// first bad line stops it with "FILE:LINE: reason", the reason one of
// "unknown setting \"N\"", "\"name = value\" expected", "a control character",
// "N takes yes or no", "invalid value \"V\" for N[: why]". File name and
// echoed text show control characters as "?".
TResult<void> ApplyConfigText(std::string_view AText, std::string_view AFileName,
                              std::span<const TOptionInfo> AOptions, const TApplyOption &AApply);

// What a file that does not exist means: an error, or no settings at all (a
// default path that an installation may not have).
enum TMissingFile : std::uint8_t { mfRefuse, mfNoSettings };

// Reads AFileName and applies it as ApplyConfigText does. A file that cannot
// be read (missing under mfRefuse, a folder, no permission, larger than
// MaxConfigFileSize) gives "FILE: cannot be read: <system text>" (or
// "FILE: larger than N bytes"). Returns whether the file was there.
TResult<bool> ApplyConfigFile(const std::string &AFileName, TMissingFile AMissing,
                              std::span<const TOptionInfo> AOptions, const TApplyOption &AApply);

} // namespace bw
