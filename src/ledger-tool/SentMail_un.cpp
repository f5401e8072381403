// Reading the header blocks of mbox files and maildirs, and their dates.
#include "ledger-tool/SentMail_un.h"

#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

namespace bw {

static constexpr const char *OpenErrorFormat = "Cannot open \"%s\": ";
static constexpr const char *ReadErrorFormat = "Cannot read \"%s\": ";
static constexpr const char *NotMailText = "it is neither a file nor a maildir (with a cur/ or new/ folder)";
// A header value longer than this is cut: no Message-ID or Date is that long.
static constexpr std::size_t MaxValueSize = std::size_t{64} * 1024;

namespace {

struct TFileClose {
  void operator()(std::FILE *AFile) const noexcept { std::fclose(AFile); }
};
struct TFree {
  void operator()(char *ABuffer) const noexcept { std::free(ABuffer); }
};

// A file opened for reading, or null with the errno of the open, taken
// before anything else could change it.
struct TOpenedFile {
  std::FILE *File = nullptr;
  int Errno = 0;
};

TOpenedFile OpenMailFile(const std::string &APath) {
  TOpenedFile Opened;
  Opened.File = std::fopen(APath.c_str(), "rbe");
  Opened.Errno = Opened.File ? 0 : errno;
  return Opened;
}

// The lines of a file, each without its LF (a CR before it stays, as it is
// part of the raw header value a milter would see).
class TLineReader {
public:
  explicit TLineReader(const std::string &APath) : TLineReader(APath, OpenMailFile(APath)) {}
  // Takes AOpened.File, opened from APath; raises the open's error when it is null.
  TLineReader(const std::string &APath, TOpenedFile AOpened) : FPath(APath), FFile(AOpened.File) {
    if (!FFile)
      throw EFOpenError(WithOneLineName(OpenErrorFormat, APath) + SystemErrorText(AOpened.Errno));
  }

  std::optional<std::string_view> Next() {
    char *Buffer = FBuffer.release();
    errno = 0;
    const ssize_t Length = ::getline(&Buffer, &FCapacity, FFile.get());
    FBuffer.reset(Buffer);
    if (Length < 0) {
      const int Error = errno;
      if (std::ferror(FFile.get()))
        throw EReadError(WithOneLineName(ReadErrorFormat, FPath) + SystemErrorText(Error));
      return std::nullopt;
    }
    FBytesRead += static_cast<std::uint64_t>(Length);
    std::string_view Line(Buffer, static_cast<std::size_t>(Length));
    if (Line.ends_with('\n'))
      Line.remove_suffix(1);
    return Line;
  }
  std::uint64_t BytesRead() const noexcept { return FBytesRead; }

private:
  std::string FPath;
  std::unique_ptr<std::FILE, TFileClose> FFile;
  std::unique_ptr<char, TFree> FBuffer;  // getline's, grown by it
  std::size_t FCapacity = 0;
  std::uint64_t FBytesRead = 0;
};

// The Message-ID and Date of one header block, fed line by line.
class THeaderCollector {
public:
  // False once the block has ended, at its blank line.
  bool Feed(std::string_view ALine) {
    if (ALine.empty() || ALine == "\r")
      return false;
    if (ALine.front() == ' ' || ALine.front() == '\t') {
      if (FCurrent && FCurrent->size() < MaxValueSize)
        FCurrent->append("\n").append(ALine);
      return true;
    }
    FCurrent = nullptr;
    const std::size_t Colon = ALine.find(':');
    if (Colon == std::string_view::npos)
      return true;
    // Blanks before the colon are an obsolete form, still met.
    const std::string_view Name = TrimmedName(ALine.substr(0, Colon));
    std::optional<std::string> *Field = SameText(Name, "Message-ID") ? &FMessage.MessageId
                                        : SameText(Name, "Date")     ? &FMessage.Date
                                                                     : nullptr;
    if (!Field || *Field)
      return true;  // only the first of each counts, as for the bounce's returned headers
    *Field = std::string(ALine.substr(Colon + 1, MaxValueSize));
    FCurrent = &**Field;
    return true;
  }
  const TSentMessage &Message() const noexcept { return FMessage; }

private:
  static std::string_view TrimmedName(std::string_view AName) {
    while (!AName.empty() && (AName.back() == ' ' || AName.back() == '\t'))
      AName.remove_suffix(1);
    return AName;
  }

  TSentMessage FMessage;
  std::string *FCurrent = nullptr;  // the value that an indented line continues
};

} // namespace

static bool IsMboxSeparator(std::string_view ALine) { return ALine.starts_with("From "); }

// An mbox file; one whose first line is no "From " line is one message (a
// saved .eml).
static void ReadMbox(const std::string &APath, const TSentMessageHandler &AOnMessage,
                     const TSentMailProgress &AOnProgress) {
  TLineReader Reader(APath);
  std::optional<THeaderCollector> Headers;
  bool InHeaders = false;
  bool First = true;
  while (const std::optional<std::string_view> Line = Reader.Next()) {
    if (IsMboxSeparator(*Line) || First) {
      if (Headers)
        AOnMessage(Headers->Message());
      Headers.emplace();
      InHeaders = !IsMboxSeparator(*Line) ? Headers->Feed(*Line) : true;
      First = false;
      AOnProgress(Reader.BytesRead());
      continue;
    }
    if (InHeaders)
      InHeaders = Headers->Feed(*Line);
  }
  if (Headers)
    AOnMessage(Headers->Message());
  AOnProgress(Reader.BytesRead());
}

static std::vector<std::filesystem::path> MaildirFolders(const std::string &APath) {
  std::vector<std::filesystem::path> Folders;
  for (const char *Name : {"cur", "new"}) {
    std::error_code Error;
    const std::filesystem::path Folder = std::filesystem::path(APath) / Name;
    if (std::filesystem::is_directory(Folder, Error))
      Folders.push_back(Folder);
  }
  if (Folders.empty())
    throw EFOpenError(WithOneLineName(OpenErrorFormat, APath) + NotMailText);
  return Folders;
}

// Calls AOnFile with the path and size of every message file of a maildir.
template <class TAction> static void ForEachMaildirFile(const std::string &APath, TAction &&AOnFile) {
  for (const std::filesystem::path &Folder : MaildirFolders(APath)) {
    std::error_code Error;
    std::filesystem::directory_iterator Entries(Folder, Error);
    if (Error)
      throw EFOpenError(WithOneLineName(OpenErrorFormat, Folder.string()) + Error.message());
    // Stepped with an error code: the throwing step's exception is none of
    // ours, and nothing above would catch it. A failed step ends the walk.
    for (; Entries != std::filesystem::directory_iterator(); Entries.increment(Error)) {
      const std::filesystem::directory_entry &Entry = *Entries;
      // Dot files are a client's own (Dovecot's indexes, temporary files).
      std::error_code EntryError;
      if (Entry.path().filename().string().starts_with('.') || !Entry.is_regular_file(EntryError))
        continue;
      const std::uintmax_t Size = Entry.file_size(EntryError);
      AOnFile(Entry.path().string(), EntryError ? 0 : static_cast<std::uint64_t>(Size));
    }
    if (Error)
      throw EReadError(WithOneLineName(ReadErrorFormat, Folder.string()) + Error.message());
  }
}

std::uint64_t SentMailSize(const std::string &APath) {
  std::error_code Error;
  if (std::filesystem::is_directory(APath, Error)) {
    std::uint64_t Total = 0;
    ForEachMaildirFile(APath, [&Total](const std::string &, std::uint64_t ASize) { Total += ASize; });
    return Total;
  }
  const std::uintmax_t Size = std::filesystem::file_size(APath, Error);
  if (Error)
    throw EFOpenError(WithOneLineName(OpenErrorFormat, APath) + Error.message());
  return static_cast<std::uint64_t>(Size);
}

void ReadSentMail(const std::string &APath, const TSentMessageHandler &AOnMessage,
                  const TSentMailProgress &AOnProgress) {
  std::error_code Error;
  if (!std::filesystem::is_directory(APath, Error)) {
    ReadMbox(APath, AOnMessage, AOnProgress);
    return;
  }
  std::uint64_t Done = 0;
  ForEachMaildirFile(APath, [&](const std::string &AFile, std::uint64_t ASize) {
    Done += ASize;
    const TOpenedFile Opened = OpenMailFile(AFile);
    if (!Opened.File && Opened.Errno == ENOENT) {  // moved or expunged by a mail client since the listing
      AOnProgress(Done);
      return;
    }
    TLineReader Reader(AFile, Opened);
    THeaderCollector Headers;
    while (const std::optional<std::string_view> Line = Reader.Next())
      if (!Headers.Feed(*Line))
        break;
    AOnMessage(Headers.Message());
    AOnProgress(Done);
  });
}

// RFC 5322 dates: "[Mon,] 7 Dec 2026 14:07:13 +0100 (CET)", with the
// obsolete forms of its section 4.3.

// The words of a date: comments dropped, commas and blanks separate.
static std::vector<std::string_view> DateWords(std::string_view AValue, std::string &AStorage) {
  int Depth = 0;
  for (const char C : AValue) {
    if (C == '(')
      ++Depth;
    else if (C == ')' && Depth > 0)
      --Depth;
    else if (Depth == 0)
      AStorage += (C == ',' || C == '\t' || C == '\r' || C == '\n') ? ' ' : C;
  }
  std::vector<std::string_view> Words;
  const std::string_view Text(AStorage);
  for (std::size_t Start = 0; Start < Text.size();) {
    const std::size_t End = std::min(Text.find(' ', Start), Text.size());
    if (End > Start)
      Words.push_back(Text.substr(Start, End - Start));
    Start = End + 1;
  }
  return Words;
}

static std::optional<int> DigitsOf(std::string_view AText, std::size_t AMinDigits, std::size_t AMaxDigits) {
  int Value = 0;
  const auto [End, Error] = std::from_chars(AText.data(), AText.data() + AText.size(), Value);
  if (AText.size() < AMinDigits || AText.size() > AMaxDigits || Error != std::errc() ||
      End != AText.data() + AText.size() || AText.front() == '-' || AText.front() == '+')
    return std::nullopt;
  return Value;
}

static std::optional<unsigned> MonthOf(std::string_view AName) {
  static constexpr std::string_view Months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                "jul", "aug", "sep", "oct", "nov", "dec"};
  for (unsigned I = 0; I < 12; ++I)
    if (SameText(AName, Months[I]))
      return I + 1;
  return std::nullopt;
}

// The zone's offset east of UTC in minutes. Military letters and unknown
// names count as UTC, as RFC 5322 says they must.
static std::optional<int> ZoneOffset(std::string_view AZone) {
  if (AZone.size() == 5 && (AZone[0] == '+' || AZone[0] == '-')) {
    const std::optional<int> Hours = DigitsOf(AZone.substr(1, 2), 2, 2);
    const std::optional<int> Minutes = DigitsOf(AZone.substr(3, 2), 2, 2);
    if (!Hours || !Minutes || *Minutes > 59)
      return std::nullopt;
    return (AZone[0] == '-' ? -1 : 1) * (*Hours * 60 + *Minutes);
  }
  static constexpr struct {
    std::string_view Name;
    int Hours;
  } Zones[] = {{"UT", 0},   {"GMT", 0},  {"UTC", 0},  {"EST", -5}, {"EDT", -4}, {"CST", -6},
               {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
  for (const auto &Zone : Zones)
    if (SameText(AZone, Zone.Name))
      return Zone.Hours * 60;
  const bool Alphabetic = !AZone.empty() && AZone.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") ==
                                                std::string_view::npos;
  return Alphabetic ? std::optional<int>(0) : std::nullopt;
}

std::optional<TLedgerTime> ParseMailDate(std::string_view AValue) {
  std::string Storage;
  std::vector<std::string_view> Words = DateWords(AValue, Storage);
  std::size_t I = 0;
  if (I < Words.size() && !Words[I].empty() && !std::isdigit(static_cast<unsigned char>(Words[I].front())))
    ++I;  // the day of the week, which says nothing the date does not
  if (Words.size() < I + 4)
    return std::nullopt;
  const std::optional<int> Day = DigitsOf(Words[I], 1, 2);
  const std::optional<unsigned> Month = MonthOf(Words[I + 1]);
  std::optional<int> Year = DigitsOf(Words[I + 2], 2, 4);
  if (!Day || !Month || !Year)
    return std::nullopt;
  // Two digits: 50 and later are 19xx; three: 1900 + the number.
  if (Words[I + 2].size() == 2)
    *Year += *Year < 50 ? 2000 : 1900;
  else if (Words[I + 2].size() == 3)
    *Year += 1900;

  const std::string_view Clock = Words[I + 3];
  const std::size_t Colon1 = Clock.find(':');
  if (Colon1 == std::string_view::npos)
    return std::nullopt;
  const std::size_t Colon2 = Clock.find(':', Colon1 + 1);
  const std::optional<int> Hour = DigitsOf(Clock.substr(0, Colon1), 1, 2);
  const std::optional<int> Minute = DigitsOf(Clock.substr(Colon1 + 1, Colon2 - Colon1 - 1), 2, 2);
  const std::optional<int> Second =
      Colon2 == std::string_view::npos ? std::optional<int>(0) : DigitsOf(Clock.substr(Colon2 + 1), 2, 2);
  if (!Hour || !Minute || !Second || *Hour > 23 || *Minute > 59 || *Second > 60)
    return std::nullopt;
  // A missing zone is taken as UTC, as an unknown one is.
  const std::optional<int> Offset = Words.size() > I + 4 ? ZoneOffset(Words[I + 4]) : std::optional<int>(0);
  if (!Offset)
    return std::nullopt;

  const std::chrono::year_month_day Date{std::chrono::year(*Year), std::chrono::month(*Month),
                                         std::chrono::day(static_cast<unsigned>(*Day))};
  if (!Date.ok())
    return std::nullopt;
  return std::chrono::sys_days(Date) + std::chrono::hours(*Hour) + std::chrono::minutes(*Minute - *Offset) +
         std::chrono::seconds(std::min(*Second, 59));
}

} // namespace bw
