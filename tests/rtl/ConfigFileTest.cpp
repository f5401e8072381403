// "name = value" files over an option table: what reaches the options, and
// the one line that names the file, the line and the reason when it cannot.
#include "rtl/ConfigFile_un.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace bw;

namespace {

constexpr TOptionInfo Options[] = {
    {"pattern", "REGEX", dkNone, nullptr, "", 1},
    {"timeout", "SECONDS", dkValue, "300", "", 2},
    {"ledger-only", nullptr, dkNone, nullptr, "", 3},
};

// Applies AText; returns the applied "name=value" pairs, or the error.
std::vector<std::string> Apply(const std::string &AText, std::string &AError) {
  std::vector<std::string> Applied;
  const TResult<void> Result = ApplyConfigText(AText, "/etc/x.conf", Options,
                                               [&](const TOptionInfo &AInfo, std::string_view AValue, TOptionSource ASource) {
                                                 EXPECT_EQ(ASource, osConfigFile);
                                                 if (AInfo.Id == 2 && AValue != "5" && AValue != "7")
                                                   return TResult<void>(Failure("1 to 86400"));
                                                 Applied.push_back(std::string(AInfo.Name) + "=" + std::string(AValue));
                                                 return TResult<void>();
                                               });
  AError = Result.error();
  return Applied;
}

TEST(ConfigFileTest, SettingsReachTheTableInOrderAndBadLinesNameFileAndLine) {
  const struct {
    std::string Text;
    std::vector<std::string> Applied;
    std::string Error;
  } Cases[] = {
      {"# a comment\n\n  pattern =  .*@(a|b)\\.example$ \ntimeout=5\r\ntimeout = 7\n",
       {"pattern=.*@(a|b)\\.example$", "timeout=5", "timeout=7"}, ""},
      {"pattern = a=b # not a comment", {"pattern=a=b # not a comment"}, ""},
      {"ledger-only = yes\nledger-only = No\nledger-only = ON\nledger-only = 0", {"ledger-only=", "ledger-only="}, ""},
      {"timeout = 5\nlisten = unix:/x\n", {"timeout=5"}, "/etc/x.conf:2: unknown setting \"listen\""},
      {"\n--timeout = 5", {}, "/etc/x.conf:2: unknown setting \"--timeout\""},
      {"pattern", {}, "/etc/x.conf:1: \"name = value\" expected"},
      {"ledger-only = maybe", {}, "/etc/x.conf:1: ledger-only takes yes or no"},
      {"ledger-only", {}, "/etc/x.conf:1: \"name = value\" expected"},
      {"timeout = 9", {}, "/etc/x.conf:1: invalid value \"9\" for timeout: 1 to 86400"},
      {"pattern = a\x1b[2Jb", {}, "/etc/x.conf:1: a control character"},
      {std::string("pattern = a\0b", 13), {}, "/etc/x.conf:1: a control character"},
  };
  for (const auto &Case : Cases) {
    SCOPED_TRACE(Case.Text);
    std::string Error;
    EXPECT_EQ(Apply(Case.Text, Error), Case.Applied);
    EXPECT_EQ(Error, Case.Error);
  }
}

TEST(ConfigFileTest, AMissingFileIsNoSettingsOnlyWhenAskedAndAFolderIsRefused) {
  const auto Ignore = [](const TOptionInfo &, std::string_view, TOptionSource) { return TResult<void>(); };
  const std::string Missing = "/nonexistent/bw.conf";
  const TResult<bool> Absent = ApplyConfigFile(Missing, mfNoSettings, Options, Ignore);
  ASSERT_TRUE(Absent.has_value());
  EXPECT_FALSE(*Absent);
  EXPECT_EQ(ApplyConfigFile(Missing, mfRefuse, Options, Ignore).error(),
            Missing + ": cannot be read: No such file or directory");
  EXPECT_EQ(ApplyConfigFile("/", mfNoSettings, Options, Ignore).error(), "/: cannot be read: Is a directory");

  char Name[] = "/tmp/bw-config-XXXXXX";
  const int Fd = mkstemp(Name);
  ASSERT_GE(Fd, 0);
  close(Fd);
  std::ofstream(Name) << "timeout = 5\ntimeout = x\n";
  EXPECT_EQ(ApplyConfigFile(Name, mfRefuse, Options, Ignore).value(), true);
  std::ofstream(Name) << std::string(MaxConfigFileSize + 1, '#');
  EXPECT_EQ(ApplyConfigFile(Name, mfRefuse, Options, Ignore).error(),
            std::string(Name) + ": larger than 1048576 bytes");
  unlink(Name);
}

} // namespace
