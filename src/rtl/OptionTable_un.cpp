// getopt_long over an option table.
#include "rtl/OptionTable_un.h"

#include "rtl/StrUtils_un.h"

#include <getopt.h>

#include <cstdlib>

namespace bw {

void ApplyDefaults(std::span<const TOptionInfo> AOptions, const TApplyOption &AApply) {
  for (const TOptionInfo &Info : AOptions)
    if (Info.DefaultKind == dkValue && !AApply(Info, Info.Default, osDefault))
      std::abort();  // a default that its own parser refuses is a bug in the table
}

static const TOptionInfo *FindOption(std::span<const TOptionInfo> AOptions, int AId) {
  for (const TOptionInfo &Info : AOptions)
    if (Info.Id == AId)
      return &Info;
  return nullptr;
}

TResult<std::vector<std::string>> ParseOptions(std::span<const std::string> AArgs,
                                               std::span<const TOptionInfo> AOptions, const TApplyOption &AApply,
                                               TOperands AOperands) {
  std::vector<option> LongOptions;
  LongOptions.reserve(AOptions.size() + 1);
  for (const TOptionInfo &Info : AOptions)
    LongOptions.push_back({Info.Name, Info.Argument ? required_argument : no_argument, nullptr, Info.Id});
  LongOptions.push_back({nullptr, 0, nullptr, 0});

  // getopt_long wants a mutable argv of its own; the strings stay in AArgs.
  std::vector<std::string> Storage{"program"};
  Storage.insert(Storage.end(), AArgs.begin(), AArgs.end());
  std::vector<char *> Argv;
  Argv.reserve(Storage.size() + 1);
  for (std::string &Arg : Storage)
    Argv.push_back(Arg.data());
  Argv.push_back(nullptr);

  optind = 0;  // 0 makes glibc start over, so the parser can run more than once
  opterr = 0;  // errors are reported here, not printed by getopt
  // "+": the first operand ends the options, so that a command's own
  // arguments are never taken for options of the program.
  const char *ShortOptions = AOperands == opAfterOptions ? "+:" : ":";
  const int Argc = static_cast<int>(Storage.size());
  for (;;) {
    int Index = -1;
    const int Id = getopt_long(Argc, Argv.data(), ShortOptions, LongOptions.data(), &Index);
    if (Id == -1)
      break;
    const std::string Arg = OneLineText(Argv[optind - 1]);
    // getopt names a known option in optopt when only its argument is wrong
    // (a short option's letter lands there too, and none is known).
    if (const TOptionInfo *Known = Id == '?' ? FindOption(AOptions, optopt) : nullptr)
      return Failure("Option \"--" + std::string(Known->Name) + "\" takes no argument");
    if (Id == '?')
      return Failure("Unknown or ambiguous option \"" + Arg + "\"");
    if (Id == ':')
      return Failure("Option \"" + Arg + "\" needs an argument");
    const TOptionInfo *Info = FindOption(AOptions, Id);
    const std::string_view Value = optarg ? optarg : "";
    if (const TResult<void> Applied = AApply(*Info, Value, osCommandLine); !Applied)
      return Failure("Invalid value \"" + OneLineText(std::string(Value)) + "\" for --" + Info->Name +
                     (Applied.error().empty() ? "" : ": " + Applied.error()));
  }
  std::vector<std::string> Operands(Storage.begin() + optind, Storage.end());
  if (AOperands == opNone && !Operands.empty())
    return Failure("Unexpected argument \"" + OneLineText(Operands.front()) + "\"");
  return Operands;
}

std::string OptionsHelp(std::span<const TOptionInfo> AOptions, int ABareDefault) {
  std::string Text;
  for (const TOptionInfo &Info : AOptions) {
    Text += std::string("  --") + Info.Name;
    if (Info.Argument)
      Text += std::string("=") + Info.Argument;
    Text += std::string("\n      ") + Info.Help;
    if (Info.DefaultKind != dkNone)
      Text += std::string(" (") + (Info.Id == ABareDefault ? "" : "default: ") + Info.Default + ")";
    Text += "\n";
  }
  return Text;
}

} // namespace bw
