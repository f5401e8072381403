// Filling the slots of a message format.
#include "rtl/Format_un.h"

namespace bw {

std::string FormatMessage(std::string_view AFormat, std::initializer_list<std::string_view> AValues) {
  std::string Result;
  Result.reserve(AFormat.size() + 64);
  const std::string_view *Next = AValues.begin();
  for (std::size_t I = 0; I < AFormat.size(); ++I) {
    if (AFormat[I] == '%' && I + 1 < AFormat.size() && (AFormat[I + 1] == 's' || AFormat[I + 1] == 'd')) {
      if (Next != AValues.end())
        Result.append(*Next++);
      ++I;
      continue;
    }
    Result.push_back(AFormat[I]);
  }
  for (; Next != AValues.end(); ++Next)
    Result.append(*Next);
  return Result;
}

} // namespace bw
