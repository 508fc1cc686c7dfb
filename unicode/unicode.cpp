#include "unicode.h"

namespace unicode {

namespace {

constexpr char16_t replacement = 0xFFFD;

void put(std::u16string &out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

void put(std::string &out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | c >> 6));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | c >> 12));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | c >> 18));
        out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// length of the well-formed UTF-8 sequence at s[i], or 0 when it is not one
size_t sequence_length(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF; // bounds of the second byte (no overlongs, no surrogates)
    if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b == 0xE0) n = 3, lo = 0xA0;
    else if (b >= 0xE1 && b <= 0xEC) n = 3;
    else if (b == 0xED) n = 3, hi = 0x9F;
    else if (b >= 0xEE && b <= 0xEF) n = 3;
    else if (b == 0xF0) n = 4, lo = 0x90;
    else if (b >= 0xF1 && b <= 0xF3) n = 4;
    else if (b == 0xF4) n = 4, hi = 0x8F;
    else return 0;
    if (i + n > s.size()) return 0;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    if (b1 < lo || b1 > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
    return n;
}

} // namespace

void append_utf8_as_utf16(std::u16string &out, std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) { // the common case: ASCII
            out.push_back(b);
            ++i;
            continue;
        }
        const size_t n = sequence_length(s, i);
        if (n == 0) {
            out.push_back(replacement);
            ++i;
            continue;
        }
        char32_t c = b & (0xFF >> (n + 1));
        for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        put(out, c);
        i += n;
    }
}

std::u16string utf8_to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    append_utf8_as_utf16(out, s);
    return out;
}

std::string utf16_to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size() * 3);
    for (size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            put(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out.push_back('?');
        } else {
            put(out, c);
        }
    }
    return out;
}

size_t utf8_fit(std::string_view s, size_t limit) {
    if (s.size() <= limit) return s.size();
    // back off over continuation bytes to the start of the sequence the cut falls into
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80 && limit - end < 3) --end;
    if ((static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) return limit; // not UTF-8 here: a plain byte cut
    return end;
}

} // namespace unicode
