// End-to-end: the error line of a message that cannot be loaded, whole and
// on one line.
#include "support/TestSupport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using bwtest::TRunResult;

namespace {

void ExpectErrorLine(const TRunResult &AResult, const std::string &AClassName, const std::string &AMessage) {
  EXPECT_EQ(AResult.Stdout, "Unexpected error " + AClassName + " \"" + AMessage + "\".\r\n");
  EXPECT_EQ(AResult.ExitCode, 255);
  EXPECT_EQ(AResult.Stderr, "");
}

// Show that "-" with standard input closed names standard input in the open
// error, not a file called "-" in the working directory.
TEST(LoadErrorTest, ClosedStandardInputIsNamedAsSuch) {
  ExpectErrorLine(bwtest::RunToolWithoutStandardInput({"-s", "-", ".*"}), "EFOpenError",
                  "Cannot open file \"<standard input>\". Bad file descriptor");
}

// Show that control characters in a file name appear as "?", so that the
// error stays on its one line.
TEST(LoadErrorTest, ControlCharactersInTheNameAreShownAsQuestionMarks) {
  const std::string Folder = std::filesystem::path(bwtest::WriteTempFile("beside.eml", "x")).parent_path().string();
  ExpectErrorLine(bwtest::RunTool({"-s", Folder + "/line\nbreak\r\t\x7F.eml", ".*"}), "EFOpenError",
                  "Cannot open file \"" + Folder + "/line?break???.eml\". No such file or directory");
}

// Show that a read failing after the first bytes ends the run with the read
// error instead of a verdict on the part that arrived. A socket whose peer
// closes with bytes of its own unread delivers the message bytes, then fails
// with ECONNRESET.
TEST(LoadErrorTest, ReadFailingAfterTheFirstBytesIsAReadError) {
  int Ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Ends), 0);
  const std::string Message = bwtest::ReadFixture("e2e/report-returning-foreign-message.eml");
  ASSERT_EQ(::write(Ends[1], Message.data(), Message.size()), static_cast<ssize_t>(Message.size()));
  ASSERT_EQ(::write(Ends[0], "x", 1), 1);  // left unread in the peer
  ::close(Ends[1]);
  ExpectErrorLine(bwtest::RunToolWithInputDescriptor({"-s", "-", "(?!)"}, Ends[0]), "EReadError",
                  "Cannot read file \"<standard input>\". Connection reset by peer");
}

} // namespace
