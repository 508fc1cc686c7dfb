// What the platform's converter makes of the upper half of a single-byte encoding, for the filter
// in front of the parser: a byte stands for a character there exactly when the parser takes it so.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace charset {

// The code point of each byte 80 to FF of the encoding named (by a book's declaration), 0 where
// the encoding defines none; empty when the platform does not know the encoding as single-byte.
std::optional<std::array<char32_t, 128>> upper_half(std::string_view encoding);

} // namespace charset
