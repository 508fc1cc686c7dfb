// The host's "ANSI" code page: the system one on Windows, UTF-8 on POSIX.
// Nothing is rejected either way: unmappable input is replaced, never refused.
#pragma once

#include <string>
#include <string_view>

namespace codepage {

std::u16string widen(std::string_view ansi);
std::string narrow(std::u16string_view text);

// length of the longest prefix of at most limit bytes that ends on a character boundary
size_t fit(std::string_view ansi, size_t limit);

} // namespace codepage
