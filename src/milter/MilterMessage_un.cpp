// Message assembly for the milter.
#include "milter/MilterMessage_un.h"

#include "verdict/MessageIdKey_un.h"
#include "detector/BackscatterDetector_un.h"
#include "detector/DsnRule_un.h"
#include "rtl/StrUtils_un.h"

namespace bw {

bool TByteBudget::TryTake(std::size_t ABytes) noexcept {
  std::size_t Held = FHeld.load(std::memory_order_relaxed);
  do {
    if (Held + ABytes > FLimit.load(std::memory_order_relaxed))
      return false;
  } while (!FHeld.compare_exchange_weak(Held, Held + ABytes, std::memory_order_relaxed));
  return true;
}

std::string TMilterMessage::ParseSender(std::string_view AMailFrom) {
  std::string Sender = TrimBytes(AMailFrom);
  if (Sender.size() >= 2 && Sender.front() == '<' && Sender.back() == '>')
    Sender = TrimBytes(std::string_view(Sender).substr(1, Sender.size() - 2));
  return Sender;
}

void TMilterMessage::Start(std::string_view AMailFrom) {
  Reset();
  FSender = ParseSender(AMailFrom);
}

void TMilterMessage::DropContent() noexcept {
  std::string().swap(FContent);  // clear() would keep the capacity of a big message
  if (FBudget)
    FBudget->Give(FTaken);
  FTaken = 0;
}

void TMilterMessage::Reset() {
  FSender.clear();
  DropContent();
  FOverBudget = false;
  FContentType.reset();
  FMessageId.reset();
  FIdFields.clear();
  FIdFieldsDropped = 0;
  FSize = 0;
  FTagHeaderCount = 0;
  FEndOfHeadersSeen = false;
}

bool TMilterMessage::TooLarge() const noexcept { return FSize >= TBackscatterDetector::MaxMessageSize; }

void TMilterMessage::Append(std::string_view ABytes) {
  FSize += ABytes.size();
  if (TooLarge() || FOverBudget) {
    DropContent();
    return;
  }
  if (FBudget && !FBudget->TryTake(ABytes.size())) {
    FOverBudget = true;
    DropContent();
    return;
  }
  FTaken += ABytes.size();
  FContent.append(ABytes);
}

void TMilterMessage::AddHeader(std::string_view AName, std::string_view AValue) {
  if (!FContentType && SameText(AName, "Content-Type"))
    FContentType.emplace(AValue);
  if (!FMessageId && SameText(AName, "Message-ID"))
    FMessageId.emplace(AValue);
  if (IsSentIdField(AName)) {
    if (FIdFields.size() < MaxSentIdFields)
      FIdFields.push_back({std::string(AName), std::string(AValue)});
    else
      ++FIdFieldsDropped;
  }
  if (SameText(AName, TagHeaderName))
    ++FTagHeaderCount;
  std::string Line;
  Line.reserve(AName.size() + AValue.size() + 8);
  Line.append(AName).push_back(':');
  if (FForm == hvLeadingSpaceStripped)
    Line.push_back(' ');
  // MTAs hand folded values over with bare LF between the lines.
  for (std::size_t I = 0; I < AValue.size(); ++I) {
    if (AValue[I] == '\n' && (I == 0 || AValue[I - 1] != '\r'))
      Line.push_back('\r');
    Line.push_back(AValue[I]);
  }
  Line.append("\r\n");
  Append(Line);
}

TEndOfHeaders TMilterMessage::EndOfHeaders() {
  Append("\r\n");
  FEndOfHeadersSeen = true;
  if (!CountsAsDSN(FContentType.value_or(std::string()), FSender))
    return ehNotDSN;
  return TooLarge() ? ehTooLarge : FOverBudget ? ehOverBudget : ehWantBody;
}

bool TMilterMessage::AddBody(std::string_view AChunk) {
  Append(AChunk);
  return !TooLarge() && !FOverBudget;
}

std::string TMilterMessage::TakeContent() {
  std::string Content = std::move(FContent);
  FContent.clear();
  return Content;
}

} // namespace bw
