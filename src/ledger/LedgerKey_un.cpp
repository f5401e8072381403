// The keyed hash of a Message-ID, over GLib's HMAC.
#include "ledger/LedgerKey_un.h"

#include "rtl/FileDescriptor_un.h"
#include "rtl/Format_un.h"
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

static constexpr const char *ReadKeyError = "Cannot read the %s key file \"%s\"";
static constexpr const char *ShortKeyError = "The %s key file \"%s\" holds fewer than 16 bytes of key";
static constexpr const char *CreateKeyError = "Cannot create the ledger key file \"%s\"";
static constexpr std::size_t MaxKeyFileSize = std::size_t{64} * 1024;

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

static std::string KeyFileMessage(const char *AFormat, std::string_view AKind, const std::string &AFileName) {
  return FormatMessage(AFormat, {AKind, OneLineText(AFileName)});
}

TResult<std::string> ReadSecretFile(const std::string &AFileName, const std::string &AReadError) {
  const TFileDescriptor File(::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (const int Error = errno; !File.IsValid())
    return Failure(SystemError(AReadError, Error));
  std::string Content;
  char Buffer[4096];
  for (;;) {
    const ssize_t Count = ::read(File.Get(), Buffer, sizeof Buffer);
    if (Count < 0 && errno == EINTR)
      continue;
    if (const int Error = errno; Count < 0)
      return Failure(SystemError(AReadError, Error));
    if (Count == 0)
      break;
    Content.append(Buffer, static_cast<std::size_t>(Count));
    if (Content.size() > MaxKeyFileSize)
      return Failure(AReadError + ": it is larger than 64 KiB");
  }
  return TrimBytes(Content);
}

std::string ReadSiteKeyFile(const std::string &AFileName, std::string_view AKind) {
  TResult<std::string> Key = ReadSecretFile(AFileName, KeyFileMessage(ReadKeyError, AKind, AFileName));
  if (!Key)
    throw ELedgerKeyError(Key.error());
  if (Key->size() < MinLedgerKeySize)
    throw ELedgerKeyError(KeyFileMessage(ShortKeyError, AKind, AFileName));
  return std::move(*Key);
}

TLedgerHasher TLedgerHasher::FromKeyFile(const std::string &AFileName) {
  return TLedgerHasher(ReadSiteKeyFile(AFileName, "ledger"));
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
