// Messages with slots: one way to fill a format such as
// "Cannot open file \"%s\". %s" that is kept as a constant beside its throw.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace bw {

// AFormat with each "%s" or "%d" filled, in order, by the next of AValues
// (numbers are given as their text). A slot without a value stays empty;
// values left over when the slots ran out are appended, so that a format
// missing its slot still shows what was meant to fill it.
std::string FormatMessage(std::string_view AFormat, std::initializer_list<std::string_view> AValues);

} // namespace bw
