// The keyed hash of an ID and the key file it is keyed with.
#include "ledger/LedgerKey_un.h"

#include "LedgerTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

using bw::TLedgerHasher;

// Show that the key is the first half of HMAC-SHA-256 (RFC 4231, test case 1).
TEST(LedgerKeyTest, KeyIsTheFirstHalfOfHmacSha256) {
  const TLedgerHasher Hasher(std::string(20, '\x0b'));
  const bw::TLedgerKey Expected = {0xb0, 0x34, 0x4c, 0x61, 0xd8, 0xdb, 0x38, 0x53,
                                   0x5c, 0xa8, 0xaf, 0xce, 0xaf, 0x0b, 0xf1, 0x2b};
  EXPECT_EQ(Hasher.KeyOf("Hi There"), Expected);
}

// Show that init's key file is private and kept, that the blanks around a
// key do not change it, and that a missing or short file is named.
TEST(LedgerKeyTest, KeyFileIsCreatedPrivateReadTrimmedAndNamedWhenBad) {
  const bwtest::TScratchFolder Scratch;
  const std::string KeyFile = Scratch / "ledger.key";
  ASSERT_TRUE(bw::CreateLedgerKeyFile(KeyFile));
  struct stat Info {};
  ASSERT_EQ(::stat(KeyFile.c_str(), &Info), 0);
  EXPECT_EQ(Info.st_mode & 0777, 0600u);
  const bw::TLedgerKey Before = TLedgerHasher::FromKeyFile(KeyFile).KeyOf("a@b");
  EXPECT_FALSE(bw::CreateLedgerKeyFile(KeyFile));
  EXPECT_EQ(TLedgerHasher::FromKeyFile(KeyFile).KeyOf("a@b"), Before);

  std::ofstream(Scratch / "trimmed.key") << "  0123456789abcdef0123\r\n";
  EXPECT_EQ(TLedgerHasher::FromKeyFile(Scratch / "trimmed.key").KeyOf("a@b"),
            TLedgerHasher("0123456789abcdef0123").KeyOf("a@b"));

  std::ofstream(Scratch / "short.key") << "0123456789\n";
  EXPECT_EQ(bwtest::RaisedError([&] { TLedgerHasher::FromKeyFile(Scratch / "short.key"); }),
            "ELedgerKeyError: The ledger key file \"" + (Scratch / "short.key") + "\" holds fewer than 16 bytes of key");
  EXPECT_EQ(bwtest::RaisedError([&] { TLedgerHasher::FromKeyFile(Scratch / "missing.key"); }),
            "ELedgerKeyError: Cannot read the ledger key file \"" + (Scratch / "missing.key") +
                "\": No such file or directory");
}
