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
static constexpr std::int64_t HeaderChunk = 4096;

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
  for (const TAutoValue &Part : ReturnedParts) {
    if (Part.IsNull())
      continue;
    TReturnedPart Read = ReadReturnedPart(Part);
    if (Read.MessageID)
      Returned.MessageIDs.push_back(std::move(*Read.MessageID));
    if (Read.HeaderBlock)
      Returned.HeaderBlocks.push_back(std::move(*Read.HeaderBlock));
  }
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

TBackscatterDetector::TReturnedPart TBackscatterDetector::ReadReturnedPart(const TAutoValue &APart) {
  const bool ReturnsMessage =
      IsReturnedMediaType(GetMediaType(APart.Get("Fields", ContentTypeField).Get("Value").AsString()));
  const TAutoValue Stream = APart.Get("GetDecodedContentStream");
  TReturnedPart Read;
  Read.MessageID = ExtractMessageID(ReadStreamText(Stream));
  if (!ReturnsMessage)
    return Read;
  Read.HeaderBlock.emplace();
  if (!Stream.IsObject())
    return Read;
  // ISO-8859-1 gives every byte the code unit of its value and back, so the
  // text read is the bytes themselves, whatever charset the part names.
  // Only the header block is wanted: read until its blank line (a stateless
  // charset can stop anywhere), not the returned message's whole body.
  Stream.Set("Position", 0);
  Stream.Set("Charset", ByteCharset);
  std::string Bytes;
  for (;;) {
    const std::u16string Chunk = Stream.Call("ReadText", HeaderChunk).AsWideString();
    const std::size_t From = Bytes.size() < 3 ? 0 : Bytes.size() - 3;
    Bytes.append(Chunk.begin(), Chunk.end());
    if (Chunk.size() < static_cast<std::size_t>(HeaderChunk) || Bytes.find("\n\n", From) != std::string::npos ||
        Bytes.find("\n\r\n", From) != std::string::npos)
      break;
  }
  *Read.HeaderBlock = HeaderFieldsOf(Bytes);
  return Read;
}

bool TBackscatterDetector::AnyMessageIDMatches(const TMessageIDList &AMessageIDs, const std::string &AMsgIdRegex) {
  Assert(!AMessageIDs.empty(), UnitName, AnyMatchPreconditionLine);
  return MatchesAnyMessageID(TMessageIdPattern(AMsgIdRegex), AMessageIDs);
}

} // namespace bw
