// What the fuzz targets share: the mail runtime and a scratch file.
#pragma once

#include <string>
#include <string_view>

namespace bwfuzz {

// Brings the locale and the mail runtime up once per process.
void InitOnce();
// Replaces the content of one scratch file and returns its path.
const std::string &WriteScratch(std::string_view AContent);

} // namespace bwfuzz
