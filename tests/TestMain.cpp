// Test entry: the locale the program would take from a UTF-8 environment.
// Suites that drive mail objects link MailTestEnvironment.cpp as well, which
// brings the mail runtime up for the whole run.
#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char **argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
