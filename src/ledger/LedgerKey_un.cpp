// The keyed hash of a Message-ID, over GLib's HMAC.
#include "ledger/LedgerKey_un.h"

#include "rtl/FileDescriptor_un.h"
#include "rtl/Numbers_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <glib.h>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace bw {

static constexpr const char *ReadKeyError = "Cannot read the ledger key file \"%s\"";
static constexpr const char *ShortKeyError = "The ledger key file \"%s\" holds fewer than 16 bytes of key";
static constexpr const char *CreateKeyError = "Cannot create the ledger key file \"%s\"";
static constexpr std::size_t MaxKeyFileSize = 64 * 1024;

namespace {
struct THmacUnref {
  void operator()(GHmac *AHmac) const noexcept { g_hmac_unref(AHmac); }
};
using THmacPtr = std::unique_ptr<GHmac, THmacUnref>;
} // namespace

// AErrno is a parameter so that the caller reads errno before anything here can change it.
static ELedgerKeyError KeyFileError(const char *AFormat, const std::string &AFileName, int AErrno) {
  return ELedgerKeyError(SystemError(WithOneLineName(AFormat, AFileName), AErrno));
}

TLedgerHasher TLedgerHasher::FromKeyFile(const std::string &AFileName) {
  const TFileDescriptor File(::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (!File.IsValid())
    throw KeyFileError(ReadKeyError, AFileName, errno);
  std::string Content;
  char Buffer[4096];
  for (;;) {
    const ssize_t Count = ::read(File.Get(), Buffer, sizeof Buffer);
    if (Count < 0 && errno == EINTR)
      continue;
    if (Count < 0)
      throw KeyFileError(ReadKeyError, AFileName, errno);
    if (Count == 0)
      break;
    Content.append(Buffer, static_cast<std::size_t>(Count));
    if (Content.size() > MaxKeyFileSize)
      throw ELedgerKeyError(WithOneLineName(ReadKeyError, AFileName) + ": it is larger than 64 KiB");
  }
  std::string Key = TrimBytes(Content);
  if (Key.size() < MinLedgerKeySize)
    throw ELedgerKeyError(WithOneLineName(ShortKeyError, AFileName));
  return TLedgerHasher(std::move(Key));
}

TLedgerHasher::TLedgerHasher(std::string AKey) {
  if (AKey.size() < MinLedgerKeySize)
    throw ELedgerKeyError("A ledger key needs at least 16 bytes");
  // Keying hashes the key's two pads; each ID then starts from a copy.
  FKeyed.reset(g_hmac_new(G_CHECKSUM_SHA256, reinterpret_cast<const guchar *>(AKey.data()), AKey.size()),
               [](void *AHmac) { g_hmac_unref(static_cast<GHmac *>(AHmac)); });
}

TLedgerKey TLedgerHasher::KeyOf(std::string_view AId) const {
  const THmacPtr Hmac(g_hmac_copy(static_cast<const GHmac *>(FKeyed.get())));
  g_hmac_update(Hmac.get(), reinterpret_cast<const guchar *>(AId.data()), static_cast<gssize>(AId.size()));
  guint8 Digest[32];
  gsize Length = sizeof Digest;
  g_hmac_get_digest(Hmac.get(), Digest, &Length);
  TLedgerKey Key;
  std::memcpy(Key.data(), Digest, Key.size());
  return Key;
}

std::string TLedgerHasher::Fingerprint() const {
  const TLedgerKey Key = KeyOf(LedgerFingerprintLabel);
  return HexText(std::span<const std::uint8_t>(Key.data(), 8));
}

bool CreateLedgerKeyFile(const std::string &AFileName) {
  TFileDescriptor File(::open(AFileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!File.IsValid() && errno == EEXIST)
    return false;
  if (!File.IsValid())
    throw KeyFileError(CreateKeyError, AFileName, errno);
  const auto Fail = [&AFileName](int AErrno) {
    ::unlink(AFileName.c_str());
    return KeyFileError(CreateKeyError, AFileName, AErrno);
  };
  std::uint8_t Random[32];
  // getrandom blocks only until the system's pool is first seeded, and never
  // returns fewer than 256 bytes once it has.
  if (::getrandom(Random, sizeof Random, 0) != static_cast<ssize_t>(sizeof Random))
    throw Fail(errno);
  const std::string Text = HexText(Random) + '\n';
  // The umask can only narrow 0600; the mode is set anyway in case the
  // file system ignored it.
  if (::fchmod(File.Get(), 0600) != 0 ||
      ::write(File.Get(), Text.data(), Text.size()) != static_cast<ssize_t>(Text.size()) ||
      ::fsync(File.Get()) != 0 || File.Close() != 0)
    throw Fail(errno);
  return true;
}

} // namespace bw
