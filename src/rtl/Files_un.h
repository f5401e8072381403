// Reading a message source whole, within a size bound.
#pragma once

#include <cstddef>
#include <string>

namespace bw {

// The file name that stands for standard input.
inline constexpr const char *StandardInputName = "-";

// Reads AFileName ("-": standard input) whole into AContent when it holds
// more than 0 and fewer than ALimit bytes; returns false otherwise, with
// nothing read into AContent.
//
// A regular file is judged by its size, then read with the bytes that
// actually arrive (a file that shrank meanwhile is not an error). Anything
// else (a pipe, a FIFO, a terminal, a device) is read until its end or until
// the bound is passed; a pipe or FIFO is then read to its end, so that a
// writer never sees its reader go away early.
//
// Raises EFOpenError "Cannot open file \"<absolute path>\". <system text>"
// when the source cannot be opened or read, a directory included.
bool ReadBoundedFile(const std::string &AFileName, std::size_t ALimit, std::string &AContent);

} // namespace bw
