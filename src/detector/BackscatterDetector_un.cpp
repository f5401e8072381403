// The detection pipeline: each stage is one call, read top to bottom.
#include "detector/BackscatterDetector_un.h"

#include "automation/ComObj_un.h"
#include "detector/DsnRule_un.h"
#include "detector/MessageIdText_un.h"
#include "detector/PartText_un.h"
#include "detector/ReturnedParts_un.h"
#include "rtl/Files_un.h"
#include "rtl/SysUtils_un.h"

#include <optional>
#include <utility>

namespace bw {

// The line the matching precondition's assertion has always printed, kept
// fixed (see Assert) so that reshaping this unit never changes the output.
static constexpr const char *UnitName = "BackscatterDetector_un";
static constexpr int AnyMatchPreconditionLine = 351;

static constexpr const char16_t *ContentTypeField = u"urn:schemas:mailheader:content-type";
static constexpr int BinaryStream = 1;
static constexpr const char16_t *ByteCharset = u"iso-8859-1";

bool TBackscatterDetector::IsBackscatter(const std::string &AP1Sender, const std::string &AMimeFile,
                                         const std::string &AMsgIdRegex) {
  std::string Content;
  if (!ReadBoundedFile(AMimeFile, MaxMessageSize, Content))
    return false;
  // Declared before the message, so that the message goes first.
  std::vector<TAutoValue> ReturnedParts;
  const TAutoValue Message = LoadMessage(std::move(Content));
  if (!IsDSN(Message, AP1Sender))
    return false;
  ReturnedParts = FindReturnedMessage(Message);
  return CheckMessageIDs(ReturnedParts, AMsgIdRegex);
}

// The returned parts of a bounce held in memory, the message released
// before the caller sees them; none when it is not examined or no DSN.
static std::vector<TAutoValue> ReturnedPartsOf(const std::string &AP1Sender, std::string AContent) {
  // The bound of ReadBoundedFile, for bytes that were never a file.
  if (AContent.empty() || AContent.size() >= TBackscatterDetector::MaxMessageSize)
    return {};
  const TAutoValue Message = TBackscatterDetector::LoadMessage(std::move(AContent));
  if (!TBackscatterDetector::IsDSN(Message, AP1Sender))
    return {};
  return TBackscatterDetector::FindReturnedMessage(Message);
}

TBackscatterDetector::TMessageIDList TBackscatterDetector::ReturnedMessageIDs(const std::string &AP1Sender,
                                                                             std::string AContent) {
  return ExtractMessageIDs(ReturnedPartsOf(AP1Sender, std::move(AContent)));
}

TBackscatterDetector::TReturnedMessage TBackscatterDetector::ReturnedMessage(const std::string &AP1Sender,
                                                                           std::string AContent) {
  const std::vector<TAutoValue> ReturnedParts = ReturnedPartsOf(AP1Sender, std::move(AContent));
  TReturnedMessage Returned;
  Returned.MessageIDs = ExtractMessageIDs(ReturnedParts);
  for (const TAutoValue &Part : ReturnedParts)
    if (std::optional<std::vector<THeaderField>> Fields = ReadHeaderBlock(Part))
      Returned.HeaderBlocks.push_back(std::move(*Fields));
  return Returned;
}

TAutoValue TBackscatterDetector::LoadMessage(std::string AContent) {
  TAutoValue Message = CreateOleObject("CDO.Message");
  const TAutoValue Stream = CreateOleObject("ADODB.Stream");
  Stream.Call("Open", TAutoValue::Omitted());
  Stream.Set("Type", BinaryStream);
  Stream.Call("Write", TSharedBytes(std::move(AContent)));
  Stream.Call("Flush");
  Stream.Call("SetEOS");
  Message.Get("DataSource").Call("OpenObject", Stream, u"_Stream");
  Stream.Call("Close");
  return Message;
}

bool TBackscatterDetector::IsDSN(const TAutoValue &AMessage, const std::string &AP1Sender) {
  return CountsAsDSN(AMessage.Get("Fields", ContentTypeField).Get("Value").AsString(), AP1Sender);
}

std::vector<TAutoValue> TBackscatterDetector::FindReturnedMessage(const TAutoValue &AMessage) {
  std::vector<TAutoValue> ReturnedParts = CollectReturnedParts(AMessage.Get("BodyPart"));
  if (!ReturnedParts.empty())
    return ReturnedParts;
  // A bounce that returns no message part may still quote the message in its
  // text.
  try {
    ReturnedParts.push_back(AMessage.Get("TextBodyPart"));
  } catch (const EOleException &) {
    // The message has no text body: nothing is returned, and the search ends
    // normally.
  }
  return ReturnedParts;
}

bool TBackscatterDetector::CheckMessageIDs(std::span<const TAutoValue> AReturnedParts,
                                           const std::string &AMsgIdRegex) {
  const TMessageIDList MessageIDs = ExtractMessageIDs(AReturnedParts);
  if (MessageIDs.empty())
    return false;
  return !AnyMessageIDMatches(MessageIDs, AMsgIdRegex);
}

TBackscatterDetector::TMessageIDList
TBackscatterDetector::ExtractMessageIDs(std::span<const TAutoValue> AReturnedParts) {
  TMessageIDList MessageIDs;
  for (const TAutoValue &Part : AReturnedParts) {
    if (Part.IsNull())
      continue;
    if (std::optional<std::u16string> MessageID = ExtractMessageID(ReadPartText(Part)))
      MessageIDs.push_back(std::move(*MessageID));
  }
  return MessageIDs;
}

std::u16string TBackscatterDetector::ReadPartText(const TAutoValue &APart) {
  return ReadStreamText(APart.Get("GetDecodedContentStream"));
}

std::optional<std::vector<THeaderField>> TBackscatterDetector::ReadHeaderBlock(const TAutoValue &APart) {
  if (APart.IsNull() ||
      !IsReturnedMediaType(GetMediaType(APart.Get("Fields", ContentTypeField).Get("Value").AsString())))
    return std::nullopt;
  // ISO-8859-1 gives every byte the code unit of its value and back, so the
  // text read is the bytes themselves, whatever charset the part names.
  const TAutoValue Stream = APart.Get("GetDecodedContentStream");
  if (!Stream.IsObject())
    return std::vector<THeaderField>();
  Stream.Set("Charset", ByteCharset);
  const std::u16string Text = Stream.Get("ReadText").AsWideString();
  return HeaderFieldsOf(std::string(Text.begin(), Text.end()));
}

bool TBackscatterDetector::AnyMessageIDMatches(const TMessageIDList &AMessageIDs, const std::string &AMsgIdRegex) {
  Assert(!AMessageIDs.empty(), UnitName, AnyMatchPreconditionLine);
  return MatchesAnyMessageID(TMessageIdPattern(AMsgIdRegex), AMessageIDs);
}

} // namespace bw
