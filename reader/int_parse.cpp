#include "int_parse.h"

namespace {

int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

} // namespace

std::optional<int32_t> parse_int32(std::u16string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n && text[i] == u' ') ++i; // spaces only: a tab or line break fails below

    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';

    bool hex = false;
    if (i < n && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i == n) return std::nullopt; // empty, spaces only, a sign or a prefix alone

    if (hex) {
        uint32_t value = 0;
        int significant = 0;
        for (; i < n; ++i) {
            const int d = hex_digit(text[i]);
            if (d < 0) return std::nullopt;
            if (significant > 0 || d != 0) ++significant;
            if (significant > 8) return std::nullopt;
            value = value << 4 | static_cast<uint32_t>(d);
        }
        // the 32-bit pattern is the value; a minus wraps around instead of overflowing
        if (negative) value = 0u - value;
        return static_cast<int32_t>(value);
    }

    // accumulate the magnitude in 64 bits and stop as soon as it cannot fit
    const uint64_t limit = negative ? 2147483648u : 2147483647u;
    uint64_t value = 0;
    for (; i < n; ++i) {
        const char16_t c = text[i];
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - u'0');
        if (value > limit) return std::nullopt;
    }
    return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(value)) : static_cast<int32_t>(value);
}
