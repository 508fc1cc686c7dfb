// What this platform's parser makes of the upper half of a single-byte encoding a book names: the
// code point of each byte 80 to FF, 0 where the encoding defines none; empty where the parser does
// not know the encoding as single-byte. The document layer hands it to the filter in front of the
// parser (filter::Rules), so that the filter leaves out exactly the bytes the parser takes.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace xmldoc {

std::optional<std::array<char32_t, 128>> upper_half(std::string_view encoding);

} // namespace xmldoc
