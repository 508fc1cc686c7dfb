// Lossless-where-possible conversions between UTF-8 and UTF-16; they never fail.
#pragma once

#include <string>
#include <string_view>

namespace unicode {

// invalid bytes become U+FFFD
std::u16string utf8_to_utf16(std::string_view text);
void append_utf8_as_utf16(std::u16string &out, std::string_view text);

// an unpaired surrogate becomes '?'
std::string utf16_to_utf8(std::u16string_view text);

// length of the longest prefix of at most limit bytes that does not split a UTF-8 sequence
size_t utf8_fit(std::string_view text, size_t limit);

} // namespace unicode
