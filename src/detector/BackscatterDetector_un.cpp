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

static constexpr std::string_view ContentTypeField = "urn:schemas:mailheader:content-type";
static constexpr std::string_view ReportMediaType = "multipart/report";
static constexpr std::string_view MailerDaemonMarker = "mailer-daemon@";
static constexpr std::string_view PostmasterMarker = "postmaster@";
static constexpr std::string_view Rfc822MediaType = "message/rfc822";
static constexpr std::string_view Rfc822HeadersMediaType = "text/rfc822-headers";
static constexpr std::string_view Utf7AliasCharset = "unicode-1-1-utf-7";
static constexpr std::u16string_view MessageIdName = u"message-id:";
// The matching work one check may spend in all, shared by its Message-IDs.
static constexpr unsigned long MatchBudget = DefaultMatchLimit;
static constexpr std::int32_t NoMatch = -1;
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

TCheckResult TBackscatterDetector::CheckMessage(const std::string &AP1Sender, std::string AContent,
                                                const std::string &AMsgIdRegex) {
  TBackscatterDetector Detector;
  Detector.FP1Sender = AP1Sender;
  Detector.FContent = std::move(AContent);
  Detector.FMsgIdRegex = AMsgIdRegex;
  const bool Backscatter = Detector.Execute();
  return {Backscatter, Detector.FMessageIDCount};
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
  if (FContent) {
    Content = std::move(*FContent);
    FContent.reset();
    if (Content.empty() || Content.size() >= MaxMessageSize)
      return false;
  } else if (!ReadBoundedFile(FMimeFile, MaxMessageSize, Content)) {
    return false;
  }

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

bool TBackscatterDetector::CountsAsDSN(std::string_view AContentType, std::string_view AP1Sender) {
  // A raw header value may still be folded: unfold and trim it as the message
  // object does for its field values.
  std::string ContentType;
  for (const char C : AContentType)
    if (C != '\r' && C != '\n')
      ContentType.push_back(C);
  if (SameText(GetMediaType(TrimBytes(ContentType)), ReportMediaType))
    return true;
  if (AP1Sender.empty())
    return true;
  const std::string Sender = AsciiLowerCase(AP1Sender);
  return Sender.find(MailerDaemonMarker) != std::string::npos || Sender.find(PostmasterMarker) != std::string::npos;
}

bool TBackscatterDetector::IsDSN() {
  const std::string ContentType =
      FMessage.Get("Fields", AnsiToWide(ContentTypeField)).Get("Value").AsString();
  return CountsAsDSN(ContentType, FP1Sender);
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

static std::size_t LineEnd(std::u16string_view AText, std::size_t AFrom) {
  while (AFrom < AText.size() && !IsLineBreak(AText[AFrom]))
    ++AFrom;
  return AFrom;
}

// The line after the line break at ABreak when it is indented, as a folded
// header value continues; nothing otherwise. Only that one line is taken,
// since quoted headers are often indented as a whole.
static std::optional<std::u16string_view> FoldedValue(std::u16string_view AText, std::size_t ABreak) {
  if (ABreak >= AText.size())
    return std::nullopt;
  std::size_t Next = ABreak + 1;
  if (AText[ABreak] == u'\r' && Next < AText.size() && AText[Next] == u'\n')
    ++Next;
  if (Next >= AText.size() || !IsBlank(AText[Next]))
    return std::nullopt;
  return AText.substr(Next, LineEnd(AText, Next) - Next);
}

static std::string FinishMessageID(std::u16string_view AValue) {
  return TBackscatterDetector::CleanMessageID(WideToAnsi(TrimWide(AValue)));
}

bool TBackscatterDetector::ExtractMessageID(std::u16string_view AText, std::string &AMessageID) {
  const std::u16string Lower = WideLowerCase(AText);
  const std::u16string_view View(Lower);
  for (std::size_t Name = View.find(MessageIdName); Name != std::u16string_view::npos;
       Name = View.find(MessageIdName, Name + 1)) {
    const std::size_t AfterColon = Name + MessageIdName.size();
    if (AfterColon < View.size() && View[AfterColon] == u' ') {
      // "message-id: ": the rest of the line, of which at least two
      // characters must follow the blank; or, when that is blank, the
      // indented line it is folded onto.
      const std::size_t Start = AfterColon + 1;
      if (Start + 1 >= View.size())
        return false;
      const std::size_t End = LineEnd(View, Start);
      std::u16string_view Id = View.substr(Start, End - Start);
      if (std::all_of(Id.begin(), Id.end(), IsBlank))
        Id = FoldedValue(View, End).value_or(Id);
      AMessageID = FinishMessageID(Id);
      return true;
    }
    // "message-id:" that ends its line, the value on the indented line
    // below, as several large mail services write it. Any other form
    // without the blank does not count. Only blanks are skipped here, so
    // the search stays linear however many names a line holds.
    std::size_t End = AfterColon;
    while (End < View.size() && IsBlank(View[End]))
      ++End;
    if (End < View.size() && IsLineBreak(View[End]))
      if (const std::optional<std::u16string_view> Folded = FoldedValue(View, End)) {
        AMessageID = FinishMessageID(*Folded);
        return true;
      }
  }
  return false;
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
  FMessageIDCount = MessageIDs.size();
  if (MessageIDs.empty())
    return false;
  return !AnyMessageIDMatches(MessageIDs);
}

bool TBackscatterDetector::AnyMessageIDMatches(const std::vector<std::string> &AMessageIDs) {
  Assert(!AMessageIDs.empty(), UnitName, AnyMatchPreconditionLine);
  // One compilation per check, and one budget for all its matching: each ID
  // may spend an equal share, so a bounce with thousands of returned parts
  // costs no more than one with a single part.
  const TCompiledRegex Regex(WideToUtf8(AnsiToWide(FMsgIdRegex)));
  const unsigned long Limit = std::max<unsigned long>(1, MatchBudget / AMessageIDs.size());
  for (std::size_t I = 0; I < AMessageIDs.size(); ++I) {
    const std::int32_t Result = Regex.Exec(WideToUtf8(AnsiToWide(AMessageIDs[I])), Limit);
    if (Result >= 0)
      return true;
    // A match that could not be completed is no answer: judging the bounce
    // backscatter could lose a genuine one. The ID itself is not repeated,
    // being the sender's text.
    if (Result != NoMatch)
      throw ERegexMatchError("Message-ID regular expression \"" + OneLineText(FMsgIdRegex) + "\" failed on Message-ID " +
                             std::to_string(I + 1) + " of " + std::to_string(AMessageIDs.size()) + ": " +
                             RegexExecErrorText(Result));
  }
  return false;
}

} // namespace bw
