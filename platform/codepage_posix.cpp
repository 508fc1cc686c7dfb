// POSIX hosts have no ANSI code page; UTF-8 stands for it.
#include "codepage.h"

#include "unicode.h"

namespace codepage {

std::u16string widen(std::string_view ansi) { return unicode::utf8_to_utf16(ansi); }

std::string narrow(std::u16string_view text) { return unicode::utf16_to_utf8(text); }

size_t fit(std::string_view ansi, size_t limit) { return unicode::utf8_fit(ansi, limit); }

} // namespace codepage
