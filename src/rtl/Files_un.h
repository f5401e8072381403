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
// else (a pipe, a FIFO, a terminal, a socket, a device) is read until its end
// or until the bound is reached; a pipe, FIFO or socket is then read to its
// end, so that a writer never sees its reader go away early.
//
// Errors name the source by its absolute path, or as "<standard input>",
// with control characters shown as "?". Raises
// - EFOpenError "Cannot open file \"<name>\". <system text>" when the source
//   cannot be opened (a directory, a closed standard input) or its first read
//   fails;
// - EReadError "Cannot read file \"<name>\". <system text>" when a read fails
//   after some bytes arrived: part of a message is never handed back.
bool ReadBoundedFile(const std::string &AFileName, std::size_t ALimit, std::string &AContent);

} // namespace bw
