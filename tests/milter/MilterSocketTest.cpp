// OpenUnixSocket and the start-up warnings: the socket's path is never
// followed through a link, a live socket is never taken over, and the
// exposures an administrator should hear of are named.
#include "milter/MilterSocket_un.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct TScratch {
  TScratch() {
    std::string Template = (fs::temp_directory_path() / "bw-socket.XXXXXX").string();
    Folder = mkdtemp(Template.data());
  }
  ~TScratch() {
    std::error_code Ignored;
    fs::remove_all(Folder, Ignored);
  }
  fs::path Folder;
};

// Binds and listens on APath as smfi_opensocket does; the descriptor stays
// open for the test's life (it is the listener).
int Listen(const std::string &APath) {
  const int Socket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  std::strncpy(Address.sun_path, APath.c_str(), sizeof Address.sun_path - 1);
  if (Socket < 0 || bind(Socket, reinterpret_cast<sockaddr *>(&Address), sizeof Address) != 0 ||
      listen(Socket, 5) != 0)
    return -1;
  return Socket;
}

struct stat StatOf(const fs::path &APath) {
  struct stat Info {};
  EXPECT_EQ(lstat(APath.c_str(), &Info), 0) << APath;
  return Info;
}

uid_t Nobody() {
  const passwd *Entry = getpwnam("nobody");
  return Entry ? Entry->pw_uid : static_cast<uid_t>(-1);
}

// The race of the finding, made deterministic: right after the socket is
// bound (when the old code would chown and chmod the path), someone who can
// write the folder swaps the socket for a link to a root-owned file. No step
// may follow the link, and the start is refused.
TEST(MilterSocketTest, ASocketSwappedForALinkGivesNothingAwayAndStopsTheStart) {
  if (geteuid() != 0 || Nobody() == static_cast<uid_t>(-1))
    GTEST_SKIP() << "needs root and the user nobody, to hand the socket over";
  TScratch Scratch;
  const fs::path Victim = Scratch.Folder / "victim", Path = Scratch.Folder / "milter.sock";
  std::ofstream(Victim) << "secret\n";
  ASSERT_EQ(chmod(Victim.c_str(), 0600), 0);
  int Listener = -1;
  const auto Error = bw::OpenUnixSocket(Path, Nobody(), static_cast<gid_t>(-1), 0660, [&] {
    Listener = Listen(Path);
    fs::rename(Path, Scratch.Folder / "moved.sock");
    fs::create_symlink(Victim, Path);
    return Listener >= 0;
  });
  ASSERT_TRUE(Error);
  EXPECT_EQ(Error->ExitCode, EX_OSERR);
  EXPECT_NE(Error->Message.find("is not the socket just made"), std::string::npos) << Error->Message;
  const struct stat Info = StatOf(Victim);
  EXPECT_EQ(Info.st_uid, 0u);
  EXPECT_EQ(Info.st_mode & 07777, 0600u);
  close(Listener);
}

TEST(MilterSocketTest, TheSocketIsBornWithItsModeAndHandedOverWithoutChmod) {
  TScratch Scratch;
  const fs::path Path = Scratch.Folder / "milter.sock";
  const uid_t Owner = geteuid() == 0 && Nobody() != static_cast<uid_t>(-1) ? Nobody() : geteuid();
  const mode_t Mask = umask(0);
  int Listener = -1;
  const auto Error = bw::OpenUnixSocket(Path, Owner, getegid(), 0640, [&] {
    // The mode comes from the umask at bind time.
    EXPECT_EQ(umask(0) , 0137u);
    umask(0137);
    return (Listener = Listen(Path)) >= 0;
  });
  EXPECT_EQ(umask(Mask), 0u) << "the caller's umask is restored";
  ASSERT_FALSE(Error) << Error->Message;
  const struct stat Info = StatOf(Path);
  EXPECT_TRUE(S_ISSOCK(Info.st_mode));
  EXPECT_EQ(Info.st_mode & 07777, 0640u);
  EXPECT_EQ(Info.st_uid, Owner);
  close(Listener);
}

TEST(MilterSocketTest, ALiveSocketIsKeptAStaleOneReplacedAnythingElseRefused) {
  TScratch Scratch;
  const std::string Path = Scratch.Folder / "milter.sock";
  const auto Open = [&] { return Listen(Path) >= 0; };  // left open: the test's process ends them
  const int Live = Listen(Path);
  ASSERT_GE(Live, 0);
  const ino_t LiveInode = StatOf(Path).st_ino;
  auto Error = bw::OpenUnixSocket(Path, static_cast<uid_t>(-1), static_cast<gid_t>(-1), 0660, Open);
  ASSERT_TRUE(Error);
  EXPECT_EQ(Error->ExitCode, EX_UNAVAILABLE);
  EXPECT_NE(Error->Message.find("another process answers on the socket"), std::string::npos) << Error->Message;
  EXPECT_EQ(StatOf(Path).st_ino, LiveInode) << "the live socket must stay";

  close(Live);  // now stale: nothing answers
  Error = bw::OpenUnixSocket(Path, static_cast<uid_t>(-1), static_cast<gid_t>(-1), 0660, Open);
  EXPECT_FALSE(Error) << Error->Message;
  EXPECT_TRUE(S_ISSOCK(StatOf(Path).st_mode));

  const std::string File = Scratch.Folder / "file";
  std::ofstream(File) << "x";
  Error = bw::OpenUnixSocket(File, static_cast<uid_t>(-1), static_cast<gid_t>(-1), 0660, Open);
  ASSERT_TRUE(Error);
  EXPECT_EQ(Error->Message, "\"" + File + "\" exists and is not a socket: refusing to replace it");
}

TEST(MilterSocketTest, WarningsNameAnOpenFolderAndEveryInterface) {
  TScratch Scratch;
  const std::string Path = Scratch.Folder / "milter.sock";
  ASSERT_EQ(chmod(Scratch.Folder.c_str(), 0755), 0);
  EXPECT_FALSE(bw::SocketFolderWarning(Path, geteuid()));
  ASSERT_EQ(chmod(Scratch.Folder.c_str(), 01777), 0);
  const auto Warning = bw::SocketFolderWarning(Path, geteuid());
  ASSERT_TRUE(Warning);
  EXPECT_NE(Warning->find("can be written by others than root and the milter's user"), std::string::npos);

  for (const char *Everywhere : {"inet:8894", "inet:8894@0.0.0.0", "inet6:8894", "inet6:8894@[::]"})
    EXPECT_TRUE(bw::AllInterfacesWarning(Everywhere)) << Everywhere;
  for (const char *Local : {"inet:8894@127.0.0.1", "inet6:8894@[::1]", "unix:/run/x.sock", "/run/x.sock"})
    EXPECT_FALSE(bw::AllInterfacesWarning(Local)) << Local;
  EXPECT_EQ(bw::UnixSocketPath("local:/a"), "/a");
  EXPECT_EQ(bw::UnixSocketPath("/b"), "/b");
  EXPECT_FALSE(bw::UnixSocketPath("inet:1@h"));
}

} // namespace
