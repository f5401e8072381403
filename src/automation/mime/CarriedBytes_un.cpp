// The line index of a source and the carried-message spans it answers.
#include "automation/mime/CarriedBytes_un.h"

#include <algorithm>

namespace bw {

static constexpr std::size_t NoLine = std::string_view::npos;

static std::size_t FirstAtOrAfter(const TLineOffsets &ALines, std::size_t AFrom) {
  const auto Found = std::lower_bound(ALines.begin(), ALines.end(), AFrom);
  return Found == ALines.end() ? NoLine : *Found;
}

TSourceIndex::TSourceIndex(std::string_view ASource) : FSource(ASource) {
  for (std::size_t Line = 0; Line < FSource.size();) {
    std::size_t LineEnd = FSource.find('\n', Line);
    if (LineEnd == std::string_view::npos)
      LineEnd = FSource.size();
    std::string_view Content = FSource.substr(Line, LineEnd - Line);
    if (Content.ends_with('\r'))
      Content.remove_suffix(1);
    if (Content.empty()) {
      FBlankLines.push_back(Line);
    } else if (Content.starts_with("--")) {
      while (Content.back() == ' ' || Content.back() == '\t')
        Content.remove_suffix(1);
      const std::string_view Key = Content.substr(2);
      FBoundaryLines[Key].push_back(Line);
      if (Key.ends_with("--"))
        FBoundaryLines[Key.substr(0, Key.size() - 2)].push_back(Line);
    }
    Line = LineEnd + 1;
  }
}

// After the first line break at or after ALastHeader that a blank line
// follows; the end of the source when none does.
std::size_t TSourceIndex::BodyStart(std::size_t ALastHeader) const {
  const std::size_t Blank = FirstAtOrAfter(FBlankLines, ALastHeader + 1);
  if (Blank == NoLine)
    return FSource.size();
  return std::min(FSource.size(), Blank + (FSource[Blank] == '\r' ? 2 : 1));
}

std::size_t TSourceIndex::NextOwnLine(const TBoundaries &ANode, std::size_t AFrom) const {
  if (!ANode.FLinesLooked) {
    const auto Found = FBoundaryLines.find(ANode.FBoundary);
    ANode.FLines = Found == FBoundaryLines.end() ? nullptr : &Found->second;
    ANode.FLinesLooked = true;
  }
  return ANode.FLines ? FirstAtOrAfter(*ANode.FLines, AFrom) : NoLine;
}

// The first line at or after AFrom that is a boundary of the chain. Each link
// remembers its last answer, which holds for any start up to that answer, so
// a walk in document order climbs the chain about once per multipart.
std::size_t TSourceIndex::NextBoundaryLine(std::size_t AFrom, const TBoundaries *AEnclosing) const {
  std::vector<const TBoundaries *> Unknown;
  std::size_t Next = NoLine;
  for (const TBoundaries *Link = AEnclosing; Link; Link = Link->FOuter.get()) {
    if (Link->FKnownFrom <= AFrom && AFrom <= Link->FKnownNext) {
      Next = Link->FKnownNext;
      break;
    }
    Unknown.push_back(Link);
  }
  for (auto Link = Unknown.rbegin(); Link != Unknown.rend(); ++Link) {
    Next = std::min(Next, NextOwnLine(**Link, AFrom));
    (*Link)->FKnownFrom = AFrom;
    (*Link)->FKnownNext = Next;
  }
  return Next;
}

TSourceIndex::TSpan TSourceIndex::CarriedMessage(std::size_t ALastHeader, const TBoundaries *AEnclosing) const {
  const std::size_t Start = BodyStart(ALastHeader);
  const std::size_t Boundary = NextBoundaryLine(Start, AEnclosing);
  if (Boundary == NoLine)
    return {Start, FSource.size()};
  std::size_t End = Boundary;
  // The line break before a boundary belongs to the boundary.
  if (End > Start && FSource[End - 1] == '\n')
    --End;
  if (End > Start && FSource[End - 1] == '\r')
    --End;
  return {Start, End};
}

} // namespace bw
