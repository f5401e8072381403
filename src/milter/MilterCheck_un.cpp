// The checks of --check-config.
#include "milter/MilterCheck_un.h"

#include "detector/MessageIdMatch_un.h"
#include "ledger/LedgerKey_un.h"
#include "milter/MilterSocket_un.h"
#include "rtl/StrUtils_un.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace bw {

static void CheckAccounts(const TMilterOptions &AOptions, TConfigCheck &ACheck) {
  for (const std::string *User : {&AOptions.User, &AOptions.SocketOwner})
    if (!User->empty() && !getpwnam(User->c_str()))
      ACheck.Problems.push_back("unknown user \"" + OneLineText(*User) + "\"");
  if (!AOptions.SocketGroup.empty() && !getgrnam(AOptions.SocketGroup.c_str()))
    ACheck.Problems.push_back("unknown group \"" + OneLineText(AOptions.SocketGroup) + "\"");
}

static void CheckSocketFolder(const TMilterOptions &AOptions, TConfigCheck &ACheck) {
  const std::optional<std::string> Path = UnixSocketPath(AOptions.Listen);
  if (!Path)
    return;
  const std::size_t Slash = Path->rfind('/');
  const std::string Folder = Slash == std::string::npos ? "." : Slash == 0 ? "/" : Path->substr(0, Slash);
  const std::string Shown = "the socket's folder \"" + OneLineText(Folder) + "\"";
  struct stat Info {};
  if (stat(Folder.c_str(), &Info) != 0) {
    const int Error = errno;
    if (Error == ENOENT && Folder == "/run/bouncewarden") {
      ACheck.Notes.push_back(Shown + " does not exist: the service makes it at its start");
      return;
    }
    ACheck.Problems.push_back(SystemError(Shown + " cannot be used", Error));
    return;
  }
  if (!S_ISDIR(Info.st_mode)) {
    ACheck.Problems.push_back(Shown + " is not a folder");
    return;
  }
  // Started as root with --user, the socket is made before root is dropped.
  if (!(geteuid() == 0 && !AOptions.User.empty()) && access(Folder.c_str(), W_OK | X_OK) != 0) {
    ACheck.Problems.push_back(SystemError(Shown + " cannot be written by this user", errno));
    return;
  }
  ACheck.Notes.push_back(Shown + " is there and can be written");
}

TConfigCheck CheckMilterSettings(const TMilterOptions &AOptions) {
  TConfigCheck Check;
  if (!AOptions.Pattern.empty()) {
    const TMessageIdPattern Pattern(AOptions.Pattern);
    if (!Pattern.Regex().IsValid())
      Check.Problems.push_back("the Message-ID pattern cannot be used: " + Pattern.Regex().Error());
  }
  CheckAccounts(AOptions, Check);
  if (AOptions.UsesLedger()) {
    try {
      TLedgerHasher::FromKeyFile(AOptions.Ledger.KeyFile);
      Check.Notes.push_back("the ledger's key file \"" + OneLineText(AOptions.Ledger.KeyFile) +
                            "\" was read as this user (the milter reads it as its own)");
    } catch (const ELedgerKeyError &E) {  // missing, unreadable or too short: what a start would meet
      Check.Problems.push_back(E.Message());
    }
  }
  CheckSocketFolder(AOptions, Check);
  return Check;
}

} // namespace bw
