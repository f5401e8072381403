// iconv-based conversions with replacement instead of failure, and UTF-8
// written out by hand.
//
// Both directions run through one driver, Convert(), which differs per
// direction only in what it writes for input iconv refuses and in the unit
// it appends. In front of it sit two short cuts: ASCII widened or narrowed
// without iconv, and Latin-1 for a charset iconv does not know.
#include "rtl/Charset_un.h"

#include "rtl/StrUtils_un.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

namespace bw {

namespace {
// Owner of one iconv descriptor. A descriptor carries shift state, so each
// conversion opens its own and none is ever shared between threads.
class TIconv {
public:
  // Opens a converter; IsValid() is false when iconv does not know a name.
  TIconv(const std::string &AToCode, const std::string &AFromCode) noexcept
      : FHandle(iconv_open(AToCode.c_str(), AFromCode.c_str())) {}
  // No converter.
  TIconv() noexcept : FHandle(Invalid()) {}
  TIconv(const TIconv &) = delete;
  TIconv &operator=(const TIconv &) = delete;
  TIconv(TIconv &&AOther) noexcept : FHandle(std::exchange(AOther.FHandle, Invalid())) {}
  TIconv &operator=(TIconv &&AOther) noexcept {
    std::swap(FHandle, AOther.FHandle);
    return *this;
  }
  ~TIconv() {
    if (IsValid())
      iconv_close(FHandle);
  }
  bool IsValid() const noexcept { return FHandle != Invalid(); }
  iconv_t Get() const noexcept { return FHandle; }

private:
  // iconv_open's own failure value is this cast, so it cannot be avoided.
  static iconv_t Invalid() noexcept { return reinterpret_cast<iconv_t>(-1); }  // NOLINT(performance-no-int-to-ptr)
  iconv_t FHandle;
};
} // namespace

static const char *Utf16Native() {
  return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";
}

// The iconv name of a charset name from mail or the object model, adding the
// aliases iconv lacks ("unicode-1-1-utf-7", "Unicode", "x-sjis", ...); empty
// for a name iconv must not see.
static std::string IconvName(std::string_view ACharset) {
  // Names in mail and in the object model that glibc's iconv spells otherwise.
  static constexpr struct {
    std::string_view Alias, IconvName;
  } Aliases[] = {
      {"unicode", "UTF-16LE"},          {"unicodefffe", "UTF-16BE"},
      {"unicode-1-1-utf-7", "UTF-7"},   {"unicode-1-1-utf-8", "UTF-8"},
      {"unicode-2-0-utf-7", "UTF-7"},   {"unicode-2-0-utf-8", "UTF-8"},
      {"x-unicode20utf8", "UTF-8"},     {"utf8", "UTF-8"},
      {"x-sjis", "SHIFT_JIS"},          {"shift-jis", "SHIFT_JIS"},
      {"x-euc-jp", "EUC-JP"},           {"x-euc", "EUC-JP"},
      {"ks_c_5601-1987", "CP949"},      {"ks_c_5601", "CP949"},
      {"iso-8859-8-i", "ISO-8859-8"},   {"iso-8859-6-i", "ISO-8859-6"},
      {"windows-874", "CP874"},         {"x-mac-roman", "MACINTOSH"},
      {"macintosh", "MACINTOSH"},       {"x-user-defined", "ISO-8859-1"},
      {"_iso-2022-jp$sio", "ISO-2022-JP"}, {"cp-850", "CP850"},
  };
  for (const auto &Entry : Aliases)
    if (SameText(ACharset, Entry.Alias))
      return std::string(Entry.IconvName);
  // iconv reads "//" suffixes as options: names with "/" are refused.
  if (ACharset.empty() || ACharset.find('\0') != std::string_view::npos || ACharset.find('/') != std::string_view::npos)
    return {};
  return std::string(ACharset);
}

enum TDirection { dnToWide, dnFromWide };

// A converter from ACharset to UTF-16, or the other way; invalid when iconv
// knows no such charset.
static TIconv OpenConverter(std::string_view ACharset, TDirection ADirection) {
  const std::string Name = IconvName(ACharset);
  if (Name.empty())
    return TIconv();
  return ADirection == dnToWide ? TIconv(Utf16Native(), Name) : TIconv(Name, Utf16Native());
}

// What the driver does at input iconv refuses.
enum TStateAfterInvalid { saReset, saKeep };
template <class TUnit> struct TInvalidInput {
  TUnit Replacement;         // written once per skip
  std::size_t SkipBytes;     // input bytes one replacement stands for
  TStateAfterInvalid State;  // whether the converter's shift state is dropped
};

// Decoding: one U+FFFD per refused byte, then the initial state, so that
// whatever shift or half-read character the bad byte left behind does not
// swallow the valid text after it.
static constexpr TInvalidInput<char16_t> DecodeInvalid{u'\uFFFD', 1, saReset};
// Encoding: one "?" per UTF-16 code unit. The state is kept: dropping it
// would lose what an encoder holds back (UTF-7's open base64 run) unwritten.
static constexpr TInvalidInput<char> EncodeInvalid{'?', sizeof(char16_t), saKeep};

// Appends ACount bytes of converter output as whole units.
template <class TUnit>
static void AppendUnits(std::basic_string<TUnit> &ATo, const char *ABytes, std::size_t ACount) {
  const std::size_t Units = ACount / sizeof(TUnit);
  const std::size_t Old = ATo.size();
  ATo.resize(Old + Units);
  std::memcpy(ATo.data() + Old, ABytes, Units * sizeof(TUnit));
}

// The iconv loop of both directions: converts AInput, appending at most
// AMaxUnits units (npos: no limit) to AOutput, and returns how many input
// bytes it used. Refused input is replaced as AOnInvalid says; it never fails.
template <class TUnit>
static std::size_t Convert(const TIconv &AConverter, std::string_view AInput, std::size_t AMaxUnits,
                           const TInvalidInput<TUnit> &AOnInvalid, std::basic_string<TUnit> &AOutput) {
  const std::size_t Wanted = AMaxUnits == std::basic_string<TUnit>::npos ? AMaxUnits : AOutput.size() + AMaxUnits;
  char *In = const_cast<char *>(AInput.data());  // iconv's prototype is not const-correct; it only reads
  std::size_t InLeft = AInput.size();
  char Buffer[8192];
  while (AOutput.size() < Wanted) {
    const std::size_t Room = std::min<std::size_t>(sizeof Buffer / sizeof(TUnit), Wanted - AOutput.size());
    char *Out = Buffer;
    std::size_t OutLeft = Room * sizeof(TUnit);
    // With the input used up, a null input returns the converter to its
    // initial state and writes what that takes: an encoder into UTF-7 the
    // base64 bits it still holds and the closing "-", one into ISO-2022-JP
    // the escape back to ASCII. Without it that tail would be lost. (A
    // decoder has written every whole character by then; it only drops
    // leftover bits.)
    const bool Flushing = InLeft == 0;
    const std::size_t Rc = Flushing ? iconv(AConverter.Get(), nullptr, nullptr, &Out, &OutLeft)
                                    : iconv(AConverter.Get(), &In, &InLeft, &Out, &OutLeft);
    const int Error = errno;
    AppendUnits(AOutput, Buffer, static_cast<std::size_t>(Out - Buffer));
    if (Rc != static_cast<std::size_t>(-1)) {
      if (Flushing)
        break;
      continue;  // all input taken: flush next round
    }
    if (Error == E2BIG) {
      // Out of room in the buffer: empty it and go on. But when the limit
      // leaves room for one unit and the next character needs two (a
      // surrogate pair), iconv writes nothing: a character cannot be split,
      // so stop in front of it, and the bytes used say where to resume.
      if (Out == Buffer && Room < 2)
        break;
      continue;
    }
    // EILSEQ (malformed, or no such character in the target) or EINVAL (the
    // input ends inside a character): iconv stopped in front of it. Replace
    // one byte (decoding) or one code unit (encoding) and go on after it, so
    // that one bad byte costs one replacement and the text after it
    // survives. No room left for a replacement, or nothing left to skip (a
    // failing flush), ends the conversion.
    if (AOutput.size() >= Wanted || InLeft == 0)
      break;
    AOutput.push_back(AOnInvalid.Replacement);
    const std::size_t Skip = std::min(AOnInvalid.SkipBytes, InLeft);
    In += Skip;
    InLeft -= Skip;
    if (AOnInvalid.State == saReset)
      iconv(AConverter.Get(), nullptr, nullptr, nullptr, nullptr);
  }
  return AInput.size() - InLeft;
}

// Charsets in which every byte below 0x80 is that ASCII character wherever
// it stands: no shift states, no multi-byte units with low trail bytes.
static bool IsAsciiTransparent(std::string_view ACharset) {
  static constexpr std::string_view Prefixes[] = {"us-ascii", "ascii", "ansi_x3.4", "utf-8", "utf8", "iso-8859-",
                                                  "iso8859-", "latin",  "windows-125", "cp125", "koi8-"};
  for (const std::string_view Prefix : Prefixes)
    if (ACharset.size() >= Prefix.size() && SameText(ACharset.substr(0, Prefix.size()), Prefix))
      return true;
  return false;
}

// Appends each byte as the code unit of the same value: ASCII, and Latin-1.
static void WidenBytes(std::string_view ABytes, std::u16string &ATo) {
  const std::size_t Old = ATo.size();
  ATo.resize(Old + ABytes.size());
  std::transform(ABytes.begin(), ABytes.end(), ATo.begin() + static_cast<std::ptrdiff_t>(Old),
                 [](char AByte) { return static_cast<char16_t>(static_cast<unsigned char>(AByte)); });
}

// The ASCII short cut: mail is mostly ASCII, so the leading run of bytes
// below 0x80 (at most AMaxUnits) is widened without iconv. Returns its length.
static std::size_t WidenAsciiPrefix(std::string_view ABytes, std::size_t AMaxUnits, std::u16string &ATo) {
  const std::string_view Candidates = ABytes.substr(0, AMaxUnits);
  const auto End = std::find_if(Candidates.begin(), Candidates.end(),
                                [](char AByte) { return static_cast<unsigned char>(AByte) >= 0x80; });
  const std::size_t Count = static_cast<std::size_t>(End - Candidates.begin());
  WidenBytes(Candidates.substr(0, Count), ATo);
  return Count;
}

// The fallback for a charset iconv does not know: Latin-1, byte for byte, at
// most AMaxUnits bytes. Returns how many it took.
static std::size_t WidenLatin1(std::string_view ABytes, std::size_t AMaxUnits, std::u16string &ATo) {
  const std::string_view Taken = ABytes.substr(0, AMaxUnits);
  WidenBytes(Taken, ATo);
  return Taken.size();
}

TDecodeResult DecodeToWide(std::string_view ACharset, std::string_view ABytes, std::size_t AMaxUnits) {
  TDecodeResult Result;
  if (IsAsciiTransparent(ACharset)) {
    const std::size_t Prefix = WidenAsciiPrefix(ABytes, AMaxUnits, Result.Text);
    Result.BytesConsumed = Prefix;
    if (Prefix == ABytes.size() || Prefix == AMaxUnits)
      return Result;
    ABytes.remove_prefix(Prefix);
    if (AMaxUnits != std::u16string::npos)
      AMaxUnits -= Prefix;
  }
  const TIconv Converter = OpenConverter(ACharset, dnToWide);
  if (!Converter.IsValid()) {
    Result.BytesConsumed += WidenLatin1(ABytes, AMaxUnits, Result.Text);
    return Result;
  }
  Result.BytesConsumed += Convert(Converter, ABytes, AMaxUnits, DecodeInvalid, Result.Text);
  return Result;
}

static bool IsAscii(std::u16string_view AText) {
  return std::all_of(AText.begin(), AText.end(), [](char16_t AUnit) { return AUnit < 0x80; });
}

// The fallback for a charset iconv does not know: encode into Latin-1.
static TIconv OpenEncoderOrLatin1(std::string_view ACharset) {
  TIconv Converter = OpenConverter(ACharset, dnFromWide);
  if (Converter.IsValid())
    return Converter;
  return OpenConverter("ISO-8859-1", dnFromWide);
}

std::string EncodeFromWide(std::string_view ACharset, std::u16string_view AText) {
  if (IsAsciiTransparent(ACharset) && IsAscii(AText))
    return std::string(AText.begin(), AText.end());
  const TIconv Converter = OpenEncoderOrLatin1(ACharset);
  const std::string_view Bytes(reinterpret_cast<const char *>(AText.data()), AText.size() * sizeof(char16_t));
  std::string Result;
  Convert(Converter, Bytes, std::string::npos, EncodeInvalid, Result);
  return Result;
}

std::string AnsiCodePage() {
  const char *Name = nl_langinfo(CODESET);
  return (Name && *Name) ? Name : "ANSI_X3.4-1968";
}

std::u16string AnsiToWide(std::string_view AText) {
  if (AText.empty())
    return {};
  return DecodeToWide(AnsiCodePage(), AText).Text;
}

std::string WideToAnsi(std::u16string_view AText) {
  if (AText.empty())
    return {};
  return EncodeFromWide(AnsiCodePage(), AText);
}

static constexpr char16_t ReplacementCharacter = 0xFFFD;

static bool IsHighSurrogate(unsigned AUnit) { return AUnit >= 0xD800 && AUnit <= 0xDBFF; }
static bool IsLowSurrogate(unsigned AUnit) { return AUnit >= 0xDC00 && AUnit <= 0xDFFF; }

// Written out rather than through EncodeFromWide, whose encoder writes "?"
// for a lone surrogate: here it is U+FFFD, which patterns and ledger keys
// have always been given.
std::string WideToUtf8(std::u16string_view AText) {
  if (AText.empty())
    return {};
  // Three bytes per unit is the worst case: a pair takes four for two units.
  std::string Result(AText.size() * 3, '\0');
  std::size_t Length = 0;
  for (std::size_t I = 0; I < AText.size(); ++I) {
    unsigned C = AText[I];
    if (IsHighSurrogate(C) && I + 1 < AText.size() && IsLowSurrogate(AText[I + 1])) {
      C = 0x10000 + ((C - 0xD800) << 10) + (AText[++I] - 0xDC00);
      Result[Length++] = static_cast<char>(0xF0 | (C >> 18));
      Result[Length++] = static_cast<char>(0x80 | ((C >> 12) & 0x3F));
      Result[Length++] = static_cast<char>(0x80 | ((C >> 6) & 0x3F));
      Result[Length++] = static_cast<char>(0x80 | (C & 0x3F));
      continue;
    }
    if (IsHighSurrogate(C) || IsLowSurrogate(C))
      C = ReplacementCharacter;
    if (C < 0x80) {
      Result[Length++] = static_cast<char>(C);
    } else if (C < 0x800) {
      Result[Length++] = static_cast<char>(0xC0 | (C >> 6));
      Result[Length++] = static_cast<char>(0x80 | (C & 0x3F));
    } else {
      Result[Length++] = static_cast<char>(0xE0 | (C >> 12));
      Result[Length++] = static_cast<char>(0x80 | ((C >> 6) & 0x3F));
      Result[Length++] = static_cast<char>(0x80 | (C & 0x3F));
    }
  }
  Result.resize(Length);
  return Result;
}

} // namespace bw
