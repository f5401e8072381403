// The keyed hash of a Message-ID, over GLib's HMAC.
#include "ledger/LedgerKey_un.h"

#include "rtl/StrUtils_un.h"

#include <glib.h>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace bw {

static constexpr const char *ReadKeyError = "Cannot read the ledger key file \"%s\": ";
static constexpr const char *ShortKeyError = "The ledger key file \"%s\" holds fewer than 16 bytes of key";
static constexpr const char *CreateKeyError = "Cannot create the ledger key file \"%s\": ";
static constexpr std::size_t MaxKeyFileSize = 64 * 1024;

namespace {
struct THmacUnref {
  void operator()(GHmac *AHmac) const noexcept { g_hmac_unref(AHmac); }
};
using THmacPtr = std::unique_ptr<GHmac, THmacUnref>;

// A descriptor closed on every path.
class TFileDescriptor {
public:
  explicit TFileDescriptor(int AFd) noexcept : FFd(AFd) {}
  ~TFileDescriptor() {
    if (FFd >= 0)
      ::close(FFd);
  }
  TFileDescriptor(const TFileDescriptor &) = delete;
  TFileDescriptor &operator=(const TFileDescriptor &) = delete;
  int Get() const noexcept { return FFd; }
  // Closes now, so that a failing close (a full disk on NFS) is seen.
  int Close() noexcept {
    const int Result = ::close(FFd);
    FFd = -1;
    return Result;
  }

private:
  int FFd;
};
} // namespace

TLedgerHasher TLedgerHasher::FromKeyFile(const std::string &AFileName) {
  const TFileDescriptor File(::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC));
  if (File.Get() < 0)
    throw ELedgerKeyError(WithOneLineName(ReadKeyError, AFileName) + std::strerror(errno));
  std::string Content;
  char Buffer[4096];
  for (;;) {
    const ssize_t Count = ::read(File.Get(), Buffer, sizeof Buffer);
    if (Count < 0 && errno == EINTR)
      continue;
    if (Count < 0)
      throw ELedgerKeyError(WithOneLineName(ReadKeyError, AFileName) + std::strerror(errno));
    if (Count == 0)
      break;
    Content.append(Buffer, static_cast<std::size_t>(Count));
    if (Content.size() > MaxKeyFileSize)
      throw ELedgerKeyError(WithOneLineName(ReadKeyError, AFileName) + "it is larger than 64 KiB");
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

bool CreateLedgerKeyFile(const std::string &AFileName) {
  TFileDescriptor File(::open(AFileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (File.Get() < 0 && errno == EEXIST)
    return false;
  if (File.Get() < 0)
    throw ELedgerKeyError(WithOneLineName(CreateKeyError, AFileName) + std::strerror(errno));
  const auto Fail = [&AFileName](int AErrno) {
    ::unlink(AFileName.c_str());
    return ELedgerKeyError(WithOneLineName(CreateKeyError, AFileName) + std::strerror(AErrno));
  };
  unsigned char Random[32];
  // getrandom blocks only until the system's pool is first seeded, and never
  // returns fewer than 256 bytes once it has.
  if (::getrandom(Random, sizeof Random, 0) != static_cast<ssize_t>(sizeof Random))
    throw Fail(errno);
  static constexpr char Digits[] = "0123456789abcdef";
  std::string Text;
  for (const unsigned char Byte : Random) {
    Text += Digits[Byte >> 4];
    Text += Digits[Byte & 15];
  }
  Text += '\n';
  // The umask can only narrow 0600; the mode is set anyway in case the
  // file system ignored it.
  if (::fchmod(File.Get(), 0600) != 0 ||
      ::write(File.Get(), Text.data(), Text.size()) != static_cast<ssize_t>(Text.size()) ||
      ::fsync(File.Get()) != 0 || File.Close() != 0)
    throw Fail(errno);
  return true;
}

} // namespace bw
