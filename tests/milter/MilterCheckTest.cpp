// --check-config's checks: each thing that keeps a start from working is a
// problem with the reason; a usable set of settings has none.
#include "milter/MilterCheck_un.h"

#include "MilterTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bwtest::WriteTempFile;

std::string Problems(std::vector<std::string> AArgs) {
  const bw::TMilterParseResult Parsed = bw::ParseMilterOptions(AArgs);
  EXPECT_EQ(Parsed.Request, bw::mrRun) << Parsed.Message;
  std::string Text;
  for (const std::string &Problem : bw::CheckMilterSettings(Parsed.Options).Problems)
    Text += Problem + "\n";
  return Text;
}

TEST(MilterCheckTest, WhatKeepsAStartFromWorkingIsNamed) {
  const std::string Key = WriteTempFile("ledger.key", std::string(64, 'a') + "\n");
  const std::string Folder = Key.substr(0, Key.rfind('/'));
  const std::string Usable = "--listen=unix:" + Folder + "/milter.sock";
  EXPECT_EQ(Problems({"--pattern=x", Usable}), "");
  EXPECT_EQ(Problems({"--pattern=x", Usable, "--ledger-only", "--ledger-key-file=" + Key}), "");
  EXPECT_EQ(Problems({"--pattern=x", "--listen=inet:8890@127.0.0.1"}), "");
  const std::pair<std::vector<std::string>, std::string> Cases[] = {
      {{"--ledger-only", "--ledger-key-file=/nonexistent/key"},
       "Cannot read the ledger key file \"/nonexistent/key\": No such file or directory"},
      {{"--ledger-only", "--ledger-key-file=" + WriteTempFile("short.key", "short")}, "holds fewer than 16 bytes"},
      {{"--pattern=x", "--listen=unix:/nonexistent/milter.sock"},
       "the socket's folder \"/nonexistent\" cannot be used: No such file or directory"},
      {{"--pattern=x", "--listen=unix:" + Key + "/milter.sock"}, "is not a folder"},
      {{"--pattern=x", Usable, "--user=no-such-user-here"}, "unknown user \"no-such-user-here\""},
      {{"--pattern=x", Usable, "--socket-owner=:no-such-group-here"}, "unknown group \"no-such-group-here\""},
  };
  for (const auto &[Args, Problem] : Cases) {
    SCOPED_TRACE(Args.back());
    EXPECT_NE(Problems(Args).find(Problem), std::string::npos) << Problems(Args);
  }
}

} // namespace
