// Console output: whole lines on standard output, each ending in CR LF.
#pragma once

#include <string_view>

namespace bw {

// Writes the line and CR LF to standard output in one piece. A write failure
// (closed pipe, no standard output) is ignored: output never changes the
// outcome of a run.
void WriteLn(std::string_view ALine = {});

} // namespace bw
