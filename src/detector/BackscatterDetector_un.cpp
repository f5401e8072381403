// The detection pipeline: each stage is one call, read top to bottom.
#include "detector/BackscatterDetector_un.h"

#include "automation/ComObj_un.h"
#include "detector/DsnRule_un.h"
#include "detector/MessageIdText_un.h"
#include "detector/PartText_un.h"
#include "detector/ReturnedParts_un.h"
#include "rtl/Files_un.h"
#include "rtl/SysUtils_un.h"

#include <utility>

namespace bw {

static constexpr const char *UnitName = "BackscatterDetector_un";
static constexpr int AnyMatchPreconditionLine = 351;

static constexpr const char16_t *ContentTypeField = u"urn:schemas:mailheader:content-type";
static constexpr int BinaryStream = 1;

bool TBackscatterDetector::IsBackscatter(const std::string &AP1Sender, const std::string &AMimeFile,
                                         const std::string &AMsgIdRegex) {
  TBackscatterDetector Detector;
  Detector.FP1Sender = AP1Sender;
  Detector.FMimeFile = AMimeFile;
  Detector.FMsgIdRegex = AMsgIdRegex;
  return Detector.Execute();
}

TCheckResult TBackscatterDetector::CheckMessage(const std::string &AP1Sender, std::string AContent,
                                                const TMessageIdPattern &APattern) {
  TBackscatterDetector Detector;
  Detector.FP1Sender = AP1Sender;
  Detector.FContent = std::move(AContent);
  Detector.FMsgIdRegex = APattern.Text();
  Detector.FPattern = &APattern;
  const bool Backscatter = Detector.Execute();
  return {Backscatter, Detector.FMessageIDCount};
}

std::vector<std::u16string> TBackscatterDetector::ReturnedMessageIDs(const std::string &AP1Sender,
                                                                     std::string AContent) {
  TBackscatterDetector Detector;
  Detector.FP1Sender = AP1Sender;
  Detector.FContent = std::move(AContent);
  TMessageIDList MessageIDs;
  if (Detector.LoadMessage() && Detector.IsDSN()) {
    Detector.FindReturnedMessage();
    Detector.ExtractMessageIDs(MessageIDs);
  }
  return MessageIDs;
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
    Content = std::exchange(*FContent, {});
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

bool TBackscatterDetector::IsDSN() {
  return CountsAsDSN(FMessage.Get("Fields", ContentTypeField).Get("Value").AsString(), FP1Sender);
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

void TBackscatterDetector::CollectReturnedParts(const TAutoValue &APart) {
  std::vector<TAutoValue> Found = bw::CollectReturnedParts(APart);
  if (!Found.empty())
    FReturnedParts = std::move(Found);
}

bool TBackscatterDetector::CheckMessageIDs() {
  TMessageIDList MessageIDs;
  ExtractMessageIDs(MessageIDs);
  FMessageIDCount = MessageIDs.size();
  if (MessageIDs.empty())
    return false;
  return !AnyMessageIDMatches(MessageIDs);
}

void TBackscatterDetector::ExtractMessageIDs(TMessageIDList &AMessageIDs) {
  AMessageIDs.clear();
  if (!FReturnedParts)
    return;
  for (const TAutoValue &Part : *FReturnedParts) {
    if (Part.IsNull())
      continue;
    if (std::optional<std::u16string> MessageID = ExtractMessageID(ReadPartText(Part.Get("GetDecodedContentStream"))))
      AMessageIDs.push_back(std::move(*MessageID));
  }
}

std::u16string TBackscatterDetector::ReadPartText(const TAutoValue &AStream) { return ReadStreamText(AStream); }

bool TBackscatterDetector::AnyMessageIDMatches(const TMessageIDList &AMessageIDs) {
  Assert(!AMessageIDs.empty(), UnitName, AnyMatchPreconditionLine);
  if (FPattern)
    return MatchesAnyMessageID(*FPattern, AMessageIDs);
  return MatchesAnyMessageID(TMessageIdPattern(FMsgIdRegex), AMessageIDs);
}

std::string TBackscatterDetector::GetMediaType(const std::string &AContentType) { return bw::GetMediaType(AContentType); }

std::string TBackscatterDetector::CleanMessageID(const std::string &AMessageID) {
  return bw::CleanMessageID(std::string_view(AMessageID));
}

} // namespace bw
