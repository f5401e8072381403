// Tests for the exception classes, the assertion helper and error-text trimming of SysUtils_un.
#include "rtl/SysUtils_un.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;
using namespace bw;

TEST(SysUtilsTest, AssertRaisesWithUnitAndLine) {
  EXPECT_NO_THROW(Assert(true, "Anything_un", 1));
  try {
    Assert(false, "BackscatterDetector_un", 123);
    ADD_FAILURE() << "Assert(false) returned";
  } catch (const Exception &E) {
    EXPECT_STREQ(E.ClassName(), "EAssertionFailed");
    EXPECT_STREQ(E.what(), "Assertion failure (BackscatterDetector_un, line 123)");
  }
}

TEST(SysUtilsTest, ClassNameIsTheMostDerivedClass) {
  const auto NameThroughBase = [](const Exception &E) { return std::string(E.ClassName()); };
  EXPECT_EQ(NameThroughBase(Exception("x")), "Exception");
  EXPECT_EQ(NameThroughBase(EFOpenError("x")), "EFOpenError");
  EXPECT_EQ(NameThroughBase(EReadError("x")), "EReadError");
  EXPECT_EQ(NameThroughBase(EVariantTypeCastError("x")), "EVariantTypeCastError");
  EXPECT_EQ(NameThroughBase(EVariantInvalidOpError("x")), "EVariantInvalidOpError");
  EXPECT_EQ(NameThroughBase(EOleError("x")), "EOleError");
  EXPECT_EQ(NameThroughBase(EOleSysError("x", 5)), "EOleSysError");
  const EOleException Reported("Reported", -2147352567);
  const EOleSysError &AsSysError = Reported;  // the object model's errors nest
  EXPECT_EQ(NameThroughBase(AsSysError), "EOleException");
  EXPECT_EQ(AsSysError.ErrorCode(), -2147352567);
}

TEST(SysUtilsTest, TrimErrorTextDropsTrailingBlanksAndFullStops) {
  const struct {
    std::string In, Out;
  } Cases[] = {
      {"No such file or directory", "No such file or directory"},
      {"Exception occurred.", "Exception occurred"},
      {"Wait... \r\n.\t. ", "Wait"},
      {"v1.2 done", "v1.2 done"},
      {" leading stays", " leading stays"},
      {"ends with a zero\0"s, "ends with a zero"},
      {"...", ""},
      {"", ""},
      {"caf\xC3\xA9.", "caf\xC3\xA9"},
  };
  for (const auto &Case : Cases)
    EXPECT_EQ(TrimErrorText(Case.In), Case.Out) << '"' << Case.In << '"';
}
