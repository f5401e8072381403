// The fields of a message's header block as their bytes are: each field's
// name and its raw value, nothing decoded, nothing unfolded.
//
// The ledger keys IDs by their bytes, so the returned copy of a message and
// the files of sent mail are read here alike, without the mail objects and
// without any character set.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw {

struct THeaderField {
  std::string Name;   // as written, without the blanks an obsolete form puts before the colon
  std::string Value;  // everything after the colon; continuation lines follow an LF, as they came
};

// A value longer than this is cut: no ID or date is that long, and a
// hostile block cannot make one field hold all of its bytes twice.
inline constexpr std::size_t MaxHeaderValueSize = std::size_t{64} * 1024;

// Gathers the fields of one header block fed a line at a time (each line
// without its LF; a CR before it stays part of the value). A line that is
// neither a field nor the continuation of a kept one is skipped, as mail
// readers do.
class THeaderBlockReader {
public:
  using TKeep = std::function<bool(std::string_view AName)>;
  // Keeps only the fields whose name AKeep accepts; all of them without one.
  explicit THeaderBlockReader(TKeep AKeep = nullptr) : FKeep(std::move(AKeep)) {}

  // False at the blank line that ends the block: that line is not a field,
  // and the reader takes no more.
  bool Feed(std::string_view ALine);
  const std::vector<THeaderField> &Fields() const noexcept { return FFields; }
  std::vector<THeaderField> TakeFields() noexcept { return std::move(FFields); }

private:
  TKeep FKeep;
  std::vector<THeaderField> FFields;
  bool FContinues = false;  // the last field kept may go on on an indented line
  bool FEnded = false;
};

// The fields of the header block at the start of ABytes (LF or CR LF line
// ends), up to its blank line or the end of the bytes.
std::vector<THeaderField> HeaderFieldsOf(std::string_view ABytes);

} // namespace bw
