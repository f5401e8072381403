// The sent and returned sides of a Message-ID's key.
#include "verdict/MessageIdKey_un.h"

#include "rtl/Charset_un.h"
#include "rtl/StrUtils_un.h"

#include <unordered_set>

namespace bw {

std::optional<std::string> SentMessageIdText(std::string_view ARawValue) {
  std::string Text;
  Text.reserve(ARawValue.size());
  for (const char C : ARawValue) {
    const auto Byte = static_cast<unsigned char>(C);
    if (Byte <= ' ' || C == '<' || C == '>')
      continue;
    Text.push_back(C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C);
  }
  if (Text.empty())
    return std::nullopt;
  return Text;
}

std::optional<std::string> ReturnedMessageIdText(std::u16string_view AReturnedId) {
  if (AReturnedId.empty())
    return std::nullopt;
  return WideToUtf8(AReturnedId);
}

bool IsSentIdField(std::string_view AName) {
  return SameText(AName, "Message-ID") || SameText(AName, "Resent-Message-ID");
}

bool IsReturnedIdField(std::string_view AName) {
  static constexpr std::string_view Suffix = "-Message-ID";
  return SameText(AName, "Message-ID") ||
         (AName.size() > Suffix.size() && SameText(AName.substr(AName.size() - Suffix.size()), Suffix));
}

namespace {
// Texts in the order they came, each once.
class TTextList {
public:
  void Add(std::optional<std::string> AText) {
    if (AText && FSeen.insert(*AText).second)
      FTexts.push_back(std::move(*AText));
  }
  std::vector<std::string> Take() noexcept { return std::move(FTexts); }

private:
  std::vector<std::string> FTexts;
  std::unordered_set<std::string> FSeen;
};
} // namespace

std::vector<std::string> SentMessageIdTexts(std::span<const THeaderField> AFields) {
  TTextList Texts;
  for (const THeaderField &Field : AFields)
    if (IsSentIdField(Field.Name))
      Texts.Add(SentMessageIdText(Field.Value));
  return Texts.Take();
}

std::vector<std::string> ReturnedMessageIdTexts(const TBackscatterDetector::TReturnedMessage &AReturned) {
  TTextList Texts;
  for (const std::u16string &Id : AReturned.MessageIDs)
    Texts.Add(ReturnedMessageIdText(Id));
  for (const std::vector<THeaderField> &Block : AReturned.HeaderBlocks)
    for (const THeaderField &Field : Block)
      if (IsReturnedIdField(Field.Name))
        Texts.Add(SentMessageIdText(Field.Value));
  return Texts.Take();
}

} // namespace bw
