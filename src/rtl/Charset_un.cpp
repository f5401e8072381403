// iconv-based conversions with replacement instead of failure.
#include "rtl/Charset_un.h"

#include "rtl/StrUtils_un.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace bw {

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

// A converter from ACharset to UTF-16, or the other way; invalid when iconv
// knows no such charset.
static TIconv OpenConverter(std::string_view ACharset, bool AToWide) {
  const std::string Name = IconvName(ACharset);
  if (Name.empty())
    return TIconv();
  return AToWide ? TIconv(Utf16Native(), Name) : TIconv(Name, Utf16Native());
}

std::string ResolveCharset(std::string_view ACharset) {
  const std::string Name = IconvName(ACharset);
  return OpenConverter(Name, /*AToWide=*/true).IsValid() ? Name : std::string();
}

static void AppendUnits(std::u16string &ATo, const char *ABytes, std::size_t ACount) {
  const std::size_t Old = ATo.size();
  ATo.resize(Old + ACount / 2);
  std::memcpy(ATo.data() + Old, ABytes, ACount / 2 * 2);
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

TDecodeResult DecodeToWide(std::string_view ACharset, std::string_view ABytes, std::size_t AMaxUnits) {
  TDecodeResult Result;
  // Mail is mostly ASCII: widen a leading ASCII run directly, and go to iconv
  // (one character at a time, in effect) only for what follows it.
  if (IsAsciiTransparent(ACharset)) {
    const std::size_t Limit = std::min(ABytes.size(), AMaxUnits);
    std::size_t Prefix = 0;
    while (Prefix < Limit && static_cast<unsigned char>(ABytes[Prefix]) < 0x80)
      ++Prefix;
    Result.Text.assign(ABytes.begin(), ABytes.begin() + static_cast<std::ptrdiff_t>(Prefix));
    Result.BytesConsumed = Prefix;
    if (Prefix == ABytes.size() || Prefix == AMaxUnits)
      return Result;
    ABytes.remove_prefix(Prefix);
    if (AMaxUnits != std::u16string::npos)
      AMaxUnits -= Prefix;
  }

  const std::size_t Before = Result.BytesConsumed;
  const TIconv Converter = OpenConverter(ACharset, /*AToWide=*/true);
  if (!Converter.IsValid()) {
    const std::size_t Count = std::min(ABytes.size(), AMaxUnits);
    for (std::size_t I = 0; I < Count; ++I)
      Result.Text.push_back(static_cast<unsigned char>(ABytes[I]));
    Result.BytesConsumed = Before + Count;
    return Result;
  }

  const std::size_t Wanted = AMaxUnits == std::u16string::npos ? AMaxUnits : Result.Text.size() + AMaxUnits;
  char *In = const_cast<char *>(ABytes.data());
  std::size_t InLeft = ABytes.size();
  char Buffer[8192];
  bool Flushed = false;
  while (Result.Text.size() < Wanted) {
    const std::size_t Room = std::min<std::size_t>(sizeof Buffer / 2, Wanted - Result.Text.size());
    char *Out = Buffer;
    std::size_t OutLeft = Room * 2;
    // A null input flushes a stateful decoder (UTF-7's pending bits) at the end.
    const std::size_t Rc = InLeft > 0 ? iconv(Converter.Get(), &In, &InLeft, &Out, &OutLeft)
                                      : iconv(Converter.Get(), nullptr, nullptr, &Out, &OutLeft);
    const int Error = errno;
    AppendUnits(Result.Text, Buffer, static_cast<std::size_t>(Out - Buffer));
    if (Rc != static_cast<std::size_t>(-1)) {
      if (InLeft == 0) {
        if (Flushed)
          break;
        Flushed = true;
      }
      continue;
    }
    if (Error == E2BIG) {
      if (Out == Buffer && Room < 2)
        break;  // one unit left but the next character needs two: stop short
      continue;
    }
    // EILSEQ or EINVAL (truncated at the end): replace one byte and go on.
    if (Result.Text.size() >= Wanted)
      break;
    Result.Text.push_back(u'\uFFFD');
    ++In;
    --InLeft;
    iconv(Converter.Get(), nullptr, nullptr, nullptr, nullptr);
  }
  Result.BytesConsumed = Before + (ABytes.size() - InLeft);
  return Result;
}

std::string EncodeFromWide(std::string_view ACharset, std::u16string_view AText) {
  if (IsAsciiTransparent(ACharset) &&
      std::all_of(AText.begin(), AText.end(), [](char16_t AUnit) { return AUnit < 0x80; }))
    return std::string(AText.begin(), AText.end());
  TIconv Converter = OpenConverter(ACharset, /*AToWide=*/false);
  if (!Converter.IsValid())
    Converter = OpenConverter("ISO-8859-1", /*AToWide=*/false);
  std::string Result;
  char *In = reinterpret_cast<char *>(const_cast<char16_t *>(AText.data()));
  std::size_t InLeft = AText.size() * 2;
  char Buffer[8192];
  bool Flushed = false;
  for (;;) {
    char *Out = Buffer;
    std::size_t OutLeft = sizeof Buffer;
    const std::size_t Rc = InLeft > 0 ? iconv(Converter.Get(), &In, &InLeft, &Out, &OutLeft)
                                      : iconv(Converter.Get(), nullptr, nullptr, &Out, &OutLeft);
    const int Error = errno;
    Result.append(Buffer, static_cast<std::size_t>(Out - Buffer));
    if (Rc != static_cast<std::size_t>(-1)) {
      if (InLeft == 0) {
        if (Flushed)
          break;
        Flushed = true;
      }
      continue;
    }
    if (Error == E2BIG)
      continue;
    // Not representable, or a lone surrogate: one "?" per code unit.
    Result.push_back('?');
    const std::size_t Skip = std::min<std::size_t>(2, InLeft);
    In += Skip;
    InLeft -= Skip;
  }
  return Result;
}

} // namespace bw
