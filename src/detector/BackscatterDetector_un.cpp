// The detection pipeline and its stages.
#include "detector/BackscatterDetector_un.h"

#include "automation/ComObj_un.h"
#include "regex/RegexMatch_un.h"
#include "rtl/Files_un.h"
#include "rtl/StrUtils_un.h"
#include "rtl/SysUtils_un.h"

#include <algorithm>

namespace bw {

static constexpr const char *UnitName = "BackscatterDetector_un";
static constexpr int AnyMatchPreconditionLine = 351;

static constexpr std::size_t MaxFileSize = 512000;  // exclusive bound
static constexpr std::string_view ContentTypeField = "urn:schemas:mailheader:content-type";
static constexpr std::string_view ReportMediaType = "multipart/report";
static constexpr std::string_view MailerDaemonMarker = "mailer-daemon@";
static constexpr std::string_view PostmasterMarker = "postmaster@";
static constexpr std::string_view Rfc822MediaType = "message/rfc822";
static constexpr std::string_view Rfc822HeadersMediaType = "text/rfc822-headers";
static constexpr std::string_view Utf7AliasCharset = "unicode-1-1-utf-7";
static constexpr std::u16string_view MessageIdKeyword = u"message-id: ";
static constexpr int BinaryStream = 1;
static constexpr int TextStream = 2;

bool TBackscatterDetector::IsBackscatter(const std::string &AP1Sender, const std::string &AMimeFile,
                                         const std::string &AMsgIdRegex) {
  TBackscatterDetector Detector;
  Detector.FP1Sender = AP1Sender;
  Detector.FMimeFile = AMimeFile;
  Detector.FMsgIdRegex = AMsgIdRegex;
  return Detector.Execute();
}

bool TBackscatterDetector::Execute() {
  if (!LoadMessage())
    return false;
  if (!IsDSN())
    return false;
  FindReturnedMessage();
  return CheckMessageIDs();
}

bool TBackscatterDetector::LoadMessage() {
  std::string Content;
  if (!ReadBoundedFile(FMimeFile, MaxFileSize, Content))
    return false;

  FMessage = CreateOleObject("CDO.Message");
  const TAutoValue Stream = CreateOleObject("ADODB.Stream");
  Stream.Call("Open", TAutoValue::Omitted());
  Stream.Set("Type", BinaryStream);
  Stream.Call("Write", TSharedBytes(std::move(Content)));
  Stream.Call("Flush");
  Stream.Call("SetEOS");
  FMessage.Get("DataSource").Call("OpenObject", Stream, u"_Stream");
  Stream.Call("Close");
  return true;
}

std::string TBackscatterDetector::GetMediaType(const std::string &AContentType) {
  const std::size_t Separator = AContentType.find_first_of(" (;");
  return AContentType.substr(0, Separator);
}

bool TBackscatterDetector::IsDSN() {
  const std::string ContentType =
      FMessage.Get("Fields", AnsiToWide(ContentTypeField)).Get("Value").AsString();
  if (SameText(GetMediaType(ContentType), ReportMediaType))
    return true;
  if (FP1Sender.empty())
    return true;
  const std::string Sender = AsciiLowerCase(FP1Sender);
  return Sender.find(MailerDaemonMarker) != std::string::npos || Sender.find(PostmasterMarker) != std::string::npos;
}

void TBackscatterDetector::AppendReturnedPart(const TAutoValue &APart) {
  if (!FReturnedParts)
    FReturnedParts.emplace();
  FReturnedParts->push_back(APart);
}

void TBackscatterDetector::FindReturnedMessage() {
  FReturnedParts.reset();
  CollectReturnedParts(FMessage.Get("BodyPart"));
  if (FReturnedParts)
    return;
  FReturnedParts.emplace(1);
  try {
    (*FReturnedParts)[0] = FMessage.Get("TextBodyPart");
  } catch (const EOleException &) {
    // The message has no text body: the one entry stays null and the search
    // ends normally.
    (*FReturnedParts)[0] = TAutoValue::Null();
  }
}

// Pre-order walk in document order. The path from the root is kept on an
// explicit stack, so nesting depth costs heap, not machine stack; the calls on
// the objects come in exactly the order of the plain recursive walk.
void TBackscatterDetector::CollectReturnedParts(const TAutoValue &APart) {
  struct TFrame {
    TAutoValue Part;
    std::int64_t Count;
    std::int64_t Next;
  };
  const auto Visit = [this](const TAutoValue &AVisited) -> TFrame {
    const std::string MediaType =
        GetMediaType(AVisited.Get("Fields", AnsiToWide(ContentTypeField)).Get("Value").AsString());
    if (SameText(MediaType, Rfc822MediaType) || SameText(MediaType, Rfc822HeadersMediaType))
      AppendReturnedPart(AVisited);
    return {AVisited, AVisited.Get("BodyParts").Get("Count").AsInteger(), 1};
  };

  std::vector<TFrame> Path;
  Path.push_back(Visit(APart));
  while (!Path.empty()) {
    TFrame &Top = Path.back();
    if (Top.Next > Top.Count) {
      Path.pop_back();
      continue;
    }
    const std::int64_t Index = Top.Next++;
    TAutoValue Child = Top.Part.Get("BodyParts", Index);
    Path.push_back(Visit(Child));
  }
}

std::u16string TBackscatterDetector::ReadPartText(const TAutoValue &AStream) {
  if (!AStream.IsObject())
    return {};
  const std::string Charset = AStream.Get("Charset").AsString();
  if (SameText(Charset, Utf7AliasCharset)) {
    const TAutoValue Utf7Stream = CreateOleObject("ADODB.Stream");
    Utf7Stream.Call("Open");
    Utf7Stream.Set("Charset", u"utf-7");
    Utf7Stream.Set("Type", TextStream);
    const std::int64_t Count = AStream.Get("Size").AsInteger() * 4;
    AStream.Call("CopyTo", Utf7Stream, Count);
    Utf7Stream.Set("Position", 0);
    return Utf7Stream.Get("ReadText").AsWideString();
  }
  const std::int64_t Count = AStream.Get("Size").AsInteger() * 4;
  return AStream.Call("ReadText", Count).AsWideString();
}

static bool IsLineBreak(char16_t AUnit) { return AUnit == u'\n' || AUnit == u'\r'; }
static bool IsBlank(char16_t AUnit) { return AUnit == u' ' || AUnit == u'\t'; }

bool TBackscatterDetector::ExtractMessageID(std::u16string_view AText, std::string &AMessageID) {
  const std::u16string Lower = WideLowerCase(AText);
  const std::size_t Keyword = Lower.find(MessageIdKeyword);
  if (Keyword == std::u16string::npos)
    return false;
  const std::size_t Start = Keyword + MessageIdKeyword.size();
  // At least two characters must follow the keyword.
  if (Start + 1 >= Lower.size())
    return false;
  const std::u16string_view View(Lower);
  std::size_t End = Start;
  while (End < View.size() && !IsLineBreak(View[End]))
    ++End;
  std::u16string_view Id = View.substr(Start, End - Start);

  // A value folded onto the next line ("Message-Id:" then an indented line):
  // take that one line, and only it, since quoted headers are often indented
  // as a whole.
  const bool OnlyBlanks = std::all_of(Id.begin(), Id.end(), IsBlank);
  if (OnlyBlanks && End < View.size()) {
    std::size_t Next = End + 1;
    if (View[End] == u'\r' && Next < View.size() && View[Next] == u'\n')
      ++Next;
    if (Next < View.size() && IsBlank(View[Next])) {
      std::size_t NextEnd = Next;
      while (NextEnd < View.size() && !IsLineBreak(View[NextEnd]))
        ++NextEnd;
      Id = View.substr(Next, NextEnd - Next);
    }
  }
  AMessageID = CleanMessageID(WideToAnsi(TrimWide(Id)));
  return true;
}

std::string TBackscatterDetector::CleanMessageID(const std::string &AMessageID) {
  std::string Result;
  Result.reserve(AMessageID.size());
  for (const char C : AMessageID)
    if (C != ' ' && C != '<' && C != '>')
      Result.push_back(C);
  return Result;
}

void TBackscatterDetector::ExtractMessageIDs(std::vector<std::string> &AMessageIDs) {
  AMessageIDs.clear();
  if (!FReturnedParts)
    return;
  const std::size_t Count = FReturnedParts->size();
  for (std::size_t I = 0; I < Count; ++I) {
    const TAutoValue &Part = (*FReturnedParts)[I];
    if (Part.IsNull())
      continue;
    const std::u16string Text = ReadPartText(Part.Get("GetDecodedContentStream"));
    std::string MessageID;
    if (ExtractMessageID(Text, MessageID))
      AMessageIDs.push_back(std::move(MessageID));
  }
}

bool TBackscatterDetector::CheckMessageIDs() {
  std::vector<std::string> MessageIDs;
  ExtractMessageIDs(MessageIDs);
  if (MessageIDs.empty())
    return false;
  return !AnyMessageIDMatches(MessageIDs);
}

bool TBackscatterDetector::AnyMessageIDMatches(const std::vector<std::string> &AMessageIDs) {
  Assert(!AMessageIDs.empty(), UnitName, AnyMatchPreconditionLine);
  bool Matched = false;
  for (std::size_t I = 0; I < AMessageIDs.size() && !Matched; ++I)
    Matched = RegexMatch(AnsiToWide(AMessageIDs[I]), AnsiToWide(FMsgIdRegex)) >= 0;
  return Matched;
}

} // namespace bw
