// Tests for the small vocabulary every layer shares: results, message
// slots, hex and decimal text, the descriptor owner and system-error text.
#include "rtl/FileDescriptor_un.h"
#include "rtl/Format_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/Result_un.h"
#include "rtl/SysUtils_un.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using namespace bw;

TEST(VocabularyTest, FormatMessageFillsSlotsInOrderAndKeepsLeftovers) {
  const struct {
    const char *Format;
    std::vector<std::string> Values;
    const char *Expected;
  } Cases[] = {
      {"Cannot open file \"%s\". %s", {"/a", "No such file"}, "Cannot open file \"/a\". No such file"},
      {"%s (%s, line %d)", {"Assertion failure", "X_un", "12"}, "Assertion failure (X_un, line 12)"},
      {"no slot: ", {"/a"}, "no slot: /a"},
      {"two %s %s", {"one"}, "two one "},
      {"100% sure %s", {"x"}, "100% sure x"},
      {"%s", {"a %s in a value stays"}, "a %s in a value stays"},
      {"trailing %", {}, "trailing %"},
  };
  for (const auto &Case : Cases) {
    std::string Text;
    switch (Case.Values.size()) {
    case 0: Text = FormatMessage(Case.Format, {}); break;
    case 1: Text = FormatMessage(Case.Format, {Case.Values[0]}); break;
    case 2: Text = FormatMessage(Case.Format, {Case.Values[0], Case.Values[1]}); break;
    default: Text = FormatMessage(Case.Format, {Case.Values[0], Case.Values[1], Case.Values[2]}); break;
    }
    EXPECT_EQ(Text, Case.Expected) << Case.Format;
  }
}

TEST(VocabularyTest, ParseDecimalTakesOnlyWholeNumbersInRange) {
  EXPECT_EQ(ParseDecimal<unsigned>("0", 0, 10), 0u);
  EXPECT_EQ(ParseDecimal<unsigned>("10", 0, 10), 10u);
  EXPECT_EQ(ParseDecimal<int>("007", 1, 65535), 7);
  EXPECT_EQ(ParseDecimal<std::uint64_t>("18446744073709551615", 0, std::numeric_limits<std::uint64_t>::max()),
            std::numeric_limits<std::uint64_t>::max());
  for (const char *Bad : {"", "11", "-1", "+1", " 1", "1 ", "1x", "0x10", "18446744073709551616"})
    EXPECT_FALSE(ParseDecimal<std::uint64_t>(Bad, 0, 10)) << Bad;
  EXPECT_FALSE(ParseDecimal<int>("0", 1, 5));
}

TEST(VocabularyTest, HexTextIsTwoLowerCaseDigitsAByte) {
  const std::uint8_t Bytes[] = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(HexText(Bytes), "000fa0ff");
  EXPECT_EQ(HexText({}), "");
}

static TResult<int> Half(int AValue) {
  if (AValue % 2 != 0)
    return Failure(std::to_string(AValue) + " is odd");
  return AValue / 2;
}

TEST(VocabularyTest, ResultHoldsAValueOrItsReason) {
  const TResult<int> Good = Half(8);
  ASSERT_TRUE(Good);
  EXPECT_EQ(*Good, 4);
  EXPECT_EQ(Good.error(), "");
  const TResult<int> Bad = Half(3);
  ASSERT_FALSE(Bad.has_value());
  EXPECT_EQ(Bad.error(), "3 is odd");
  const TResult<void> Done;
  EXPECT_TRUE(Done);
  const TResult<void> Refused = Failure("no");
  EXPECT_EQ(Refused.error(), "no");
}

TEST(VocabularyTest, SystemErrorNamesTheCapturedErrno) {
  EXPECT_EQ(SystemError("cannot open \"x\"", ENOENT), "cannot open \"x\": No such file or directory");
  EXPECT_EQ(SystemError("cannot open \"x\"", EACCES), "cannot open \"x\": Permission denied");
  // Some libraries fail without setting errno: no ": Success".
  EXPECT_EQ(SystemError("libmilter failed", 0), "libmilter failed");
  errno = EINVAL;
  EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
}

TEST(VocabularyTest, FileDescriptorClosesOnceAndMovesItsOwnership) {
  int Raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(Raw, 0);
  {
    TFileDescriptor First(Raw);
    TFileDescriptor Second(std::move(First));
    EXPECT_FALSE(First.IsValid());  // NOLINT(bugprone-use-after-move): moved-from holds nothing
    EXPECT_EQ(Second.Get(), Raw);
    TFileDescriptor Third;
    Third = std::move(Second);
    EXPECT_EQ(Third.Get(), Raw);
  }
  EXPECT_EQ(::fcntl(Raw, F_GETFD), -1);  // closed by the last owner
  EXPECT_EQ(errno, EBADF);
  TFileDescriptor Released(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  Raw = Released.Release();
  EXPECT_FALSE(Released.IsValid());
  EXPECT_EQ(::close(Raw), 0);  // still open: Release handed it over
}
