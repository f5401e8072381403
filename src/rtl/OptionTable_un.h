// Long options described once, in a table of name, argument, default and
// help text, which the parser and --help both read (as LLVM's tools do).
#pragma once

#include "rtl/Result_un.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// What the Default of an option is: a value the parser applies before the
// command line (so a default is written only in its table), or a text for
// --help alone.
enum TDefaultKind : std::uint8_t { dkNone, dkValue, dkText };

struct TOptionInfo {
  const char *Name;      // without the leading "--"
  const char *Argument;  // nullptr: the option takes none
  TDefaultKind DefaultKind;
  const char *Default;
  const char *Help;
  int Id;                // unique across the tables one program parses
};

// Where a value comes from: the table's default, the command line or a
// configuration file (rtl/ConfigFile_un.h), which the command line overrides.
enum TOptionSource : std::uint8_t { osDefault, osCommandLine, osConfigFile };

// Applies one option's value (empty for an option without argument).
// A failure's message, when not empty, follows the usage error's
// "Invalid value ... for --NAME: ".
using TApplyOption = std::function<TResult<void>(const TOptionInfo &AInfo, std::string_view AValue, TOptionSource ASource)>;

// What may follow the options: nothing, or operands (a command and its
// arguments) that end the options at the first of them.
enum TOperands : std::uint8_t { opNone, opAfterOptions };

// Applies every dkValue default of AOptions, in table order. A default its
// own option refuses is a bug in the table: the process aborts.
void ApplyDefaults(std::span<const TOptionInfo> AOptions, const TApplyOption &AApply);

// Parses AArgs (the arguments after the program's name) with getopt_long
// and applies each option as it comes. Returns the operands, or the usage
// error: "Unknown or ambiguous option \"X\"", "Option \"--N\" takes no
// argument", "Option \"X\" needs an argument", "Invalid value \"V\" for --N[:
// reason]", "Unexpected argument \"X\"" (opNone). Control characters in an
// echoed argument are shown as "?". getopt keeps global state: call from one
// thread at a time.
TResult<std::vector<std::string>> ParseOptions(std::span<const std::string> AArgs,
                                               std::span<const TOptionInfo> AOptions, const TApplyOption &AApply,
                                               TOperands AOperands);

// Each option as "  --NAME=ARG" and its help on the next line, indented,
// with "(default: X)" (or "(X)" for a dkText default that reads as a
// condition, when ABareDefault names its Id).
std::string OptionsHelp(std::span<const TOptionInfo> AOptions, int ABareDefault = -1);

} // namespace bw
