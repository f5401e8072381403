// Header blocks read as bytes.
#include "detector/HeaderBlock_un.h"

#include <algorithm>

namespace bw {

static bool IsBlank(char AByte) { return AByte == ' ' || AByte == '\t'; }

bool THeaderBlockReader::Feed(std::string_view ALine) {
  if (FEnded)
    return false;
  if (ALine.empty() || ALine == "\r") {
    FEnded = true;
    return false;
  }
  if (IsBlank(ALine.front())) {
    if (FContinues && FFields.back().Value.size() < MaxHeaderValueSize) {
      std::string &Value = FFields.back().Value;
      Value.append("\n").append(ALine.substr(0, MaxHeaderValueSize - Value.size()));
    }
    return true;
  }
  FContinues = false;
  const std::size_t Colon = ALine.find(':');
  if (Colon == std::string_view::npos)
    return true;
  std::string_view Name = ALine.substr(0, Colon);
  while (!Name.empty() && IsBlank(Name.back()))
    Name.remove_suffix(1);
  if (Name.empty() || (FKeep && !FKeep(Name)))
    return true;
  FFields.push_back({std::string(Name), std::string(ALine.substr(Colon + 1, MaxHeaderValueSize))});
  FContinues = true;
  return true;
}

std::vector<THeaderField> HeaderFieldsOf(std::string_view ABytes) {
  THeaderBlockReader Reader;
  for (std::size_t Start = 0; Start < ABytes.size();) {
    const std::size_t End = std::min(ABytes.find('\n', Start), ABytes.size());
    if (!Reader.Feed(ABytes.substr(Start, End - Start)))
      break;
    Start = End + 1;
  }
  return Reader.TakeFields();
}

} // namespace bw
