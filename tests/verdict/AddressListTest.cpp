// The address lists of the recipient rules: their forms, and the line that
// a bad entry is refused at.
#include "verdict/AddressList_un.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

using bw::TAddressList;

TEST(AddressListTest, EachFormMatchesItsAddressesInAnyCase) {
  const TAddressList List = TAddressList::FromText("# role addresses\n"
                                                   "\n"
                                                   "  Abuse@Example.com   # the abuse desk\n"
                                                   "@lists.example.org\r\n"
                                                   "*@news.example.net\n"
                                                   "noreply@\n"
                                                   "do-not-reply@*\n",
                                                   "roles");
  EXPECT_EQ(List.Size(), 5u);
  for (const char *Listed : {"abuse@EXAMPLE.COM", "l@lists.example.org", "x@News.Example.Net", "noreply@a.b",
                             "Do-Not-Reply@c.d"})
    EXPECT_TRUE(List.Contains(Listed)) << Listed;
  for (const char *Unlisted : {"abuse@example.org", "l@sub.lists.example.org", "noreply", "alice@example.com", ""})
    EXPECT_FALSE(List.Contains(Unlisted)) << Unlisted;
  EXPECT_FALSE(TAddressList().Contains("a@b"));
}

TEST(AddressListTest, ABadLineIsRefusedWithTheFileAndLine) {
  const std::pair<std::string, std::string> Cases[] = {
      {"ok@example.com\nnot-an-address\n", "list:2: \"not-an-address\" has no \"@\" (an address, @domain or local@)"},
      {"*@\n", "list:1: \"*@\" would match every address"},
      {"@\n", "list:1: \"@\" would match every address"},
      {"a*b@example.com\n", "list:1: \"a*b@example.com\": \"*\" stands only for a whole local part or domain"},
      {"a@b c@d\n", "list:1: one entry a line (\"c@d\" follows \"a@b\")"},
      {"a\x01@b\n", "list:1: a control character in the entry"},
  };
  for (const auto &[Text, Message] : Cases)
    EXPECT_EQ(bwtest::RaisedError([&] { TAddressList::FromText(Text, "list"); }), "EAddressListError: " + Message)
        << Text;

  const bwtest::TScratchFolder Scratch;
  EXPECT_EQ(bwtest::RaisedError([&] { TAddressList::FromFile(Scratch / "missing"); }).rfind("EAddressListError: ", 0),
            0u);
  std::ofstream(Scratch / "list") << "alice@example.com\n";
  EXPECT_TRUE(TAddressList::FromFile(Scratch / "list").Contains("alice@example.com"));
}

} // namespace
