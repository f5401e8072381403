// Reading the header blocks of mbox files and maildirs.
#include "ledger-tool/SentMail_un.h"

#include "verdict/MessageIdKey_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <cerrno>
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

// The fields of one header block that the import needs, fed line by line.
class THeaderCollector {
public:
  THeaderCollector()
      : FReader([](std::string_view AName) { return IsSentIdField(AName) || SameText(AName, "Date"); }) {}
  // False once the block has ended, at its blank line.
  bool Feed(std::string_view ALine) { return FReader.Feed(ALine); }
  TSentMessage Message() const { return {FReader.Fields()}; }

private:
  THeaderBlockReader FReader;
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
                  const TSentMailProgress &AOnProgress, const TSentMailSkipped &AOnSkipped) {
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
    THeaderCollector Headers;
    try {
      TLineReader Reader(AFile, Opened);
      while (const std::optional<std::string_view> Line = Reader.Next())
        if (!Headers.Feed(*Line))
          break;
    } catch (const EStreamError &E) {  // one file a mail client keeps unreadable: the others still count
      AOnSkipped(E.Message());
      AOnProgress(Done);
      return;
    }
    AOnMessage(Headers.Message());
    AOnProgress(Done);
  });
}

} // namespace bw
