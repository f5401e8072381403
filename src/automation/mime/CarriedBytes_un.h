// Where a carried message's bytes stand in the source it was parsed from.
//
// GMime ends any content at a line that is a boundary of any enclosing
// multipart: "--B" or "--B--" for such a boundary B, trailing blanks and tabs
// allowed. A carried message's bytes run from the blank line that ends its
// part's headers to the line break before that line. The source's lines are
// indexed once, so finding where a carried message ends costs neither the
// distance to that line nor, once the walk is under way, the number of
// enclosing multiparts.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bw {

using TLineOffsets = std::vector<std::size_t>;  // ascending

// The multipart boundaries around an entity, innermost first. A chain belongs
// to one source and is queried against that source's index only.
class TBoundaries {
public:
  TBoundaries(std::string ABoundary, std::shared_ptr<const TBoundaries> AOuter)
      : FBoundary(std::move(ABoundary)), FOuter(std::move(AOuter)) {}

private:
  friend class TSourceIndex;
  std::string FBoundary;
  std::shared_ptr<const TBoundaries> FOuter;
  // What the index last answered for this chain, kept so that the outer
  // links are asked again only when a query leaves that answer's range.
  mutable const TLineOffsets *FLines = nullptr;  // lines that are this boundary
  mutable bool FLinesLooked = false;
  mutable std::size_t FKnownFrom = 1;  // no boundary line of the chain in [FKnownFrom, FKnownNext);
  mutable std::size_t FKnownNext = 0;  // FKnownNext is one (npos: none); empty while From > Next
};

// The lines of one source, indexed in one pass. The source must outlive it.
class TSourceIndex {
public:
  explicit TSourceIndex(std::string_view ASource);

  // The bytes [Start, End) of the message carried by a part whose last header
  // line starts at ALastHeader (below the source's size), inside the
  // multiparts AEnclosing (may be null).
  struct TSpan {
    std::size_t Start;
    std::size_t End;
  };
  TSpan CarriedMessage(std::size_t ALastHeader, const TBoundaries *AEnclosing) const;

private:
  std::size_t BodyStart(std::size_t ALastHeader) const;
  std::size_t NextBoundaryLine(std::size_t AFrom, const TBoundaries *AEnclosing) const;
  std::size_t NextOwnLine(const TBoundaries &ANode, std::size_t AFrom) const;

  std::string_view FSource;
  // Line starts by what follows "--" (trailing blanks cut); a line ending in
  // "--" also stands under the text before that, as the closing line of it.
  std::unordered_map<std::string_view, TLineOffsets> FBoundaryLines;
  TLineOffsets FBlankLines;
};

} // namespace bw
