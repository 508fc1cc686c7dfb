#include "text.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "unicode.h"

namespace text {

namespace {

// next code point of valid UTF-8 at s[i]; advances i
char32_t next(std::string_view s, size_t &i) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (i + n > s.size()) n = s.size() - i; // not valid after all: take what is left
    char32_t c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; k < n; ++k) c = c << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    return c;
}

struct Range {
    char32_t lo, hi;
};

// ranges sorted and apart, so a binary search finds the one a character falls in
template <size_t N> bool in(const Range (&ranges)[N], char32_t c) {
    if (c < ranges[0].lo || c > ranges[N - 1].hi) return false;
    const Range *r = std::upper_bound(std::begin(ranges), std::end(ranges), c,
                                      [](char32_t v, const Range &x) { return v < x.lo; });
    return r != std::begin(ranges) && c <= (r - 1)->hi;
}

// combining marks and invisible format characters of the scripts books are written in
constexpr Range zero_width[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD},   {0x05BF, 0x05BF},   {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A},   {0x061C, 0x061C},   {0x064B, 0x065F},
    {0x0670, 0x0670},   {0x06D6, 0x06DC},   {0x06DF, 0x06E4},   {0x06E7, 0x06E8},   {0x06EA, 0x06ED},
    {0x0900, 0x0902},   {0x093A, 0x093A},   {0x093C, 0x093C},   {0x0941, 0x0948},   {0x094D, 0x094D},
    {0x0951, 0x0957},   {0x0962, 0x0963},   {0x0E31, 0x0E31},   {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},
    {0x1160, 0x11FF},   {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x20D0, 0x20FF},   {0x302A, 0x302D},   {0x3099, 0x309A},   {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F},   {0xFEFF, 0xFEFF},   {0x1F3FB, 0x1F3FF}, {0xE0001, 0xE007F}, {0xE0100, 0xE01EF},
};

// East Asian wide and fullwidth: CJK, kana, Hangul, fullwidth forms, and the emoji terminals draw wide
constexpr Range wide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x3096},   {0x309B, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF},
    {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A},
    {0x1F200, 0x1F202}, {0x1F210, 0x1F23B}, {0x1F240, 0x1F248}, {0x1F250, 0x1F251}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

constexpr char hex[] = "0123456789abcdef";

// the escape of a control code point (C0, DEL, C1), or nothing for any other
bool escape_control(char32_t c, std::string &out) {
    switch (c) {
    case '\t': out += "\\t"; return true;
    case '\n': out += "\\n"; return true;
    case '\r': out += "\\r"; return true;
    default: break;
    }
    if (c < 0x20 || c == 0x7F) {
        out += "\\x";
    } else if (c >= 0x80 && c <= 0x9F) {
        out += "\\u00";
    } else {
        return false;
    }
    out += hex[c >> 4];
    out += hex[c & 0xF];
    return true;
}

// bytes of the well-formed UTF-8 sequence that begins at s[i] (no surrogate, nothing above U+10FFFF,
// no overlong form), or 0 where none does
size_t sequence_at(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF; // the second byte's range, narrower after some lead bytes
    if (b >= 0xC2 && b <= 0xDF) n = 2;
    else if (b >= 0xE0 && b <= 0xEF) n = 3, lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    else if (b >= 0xF0 && b <= 0xF4) n = 4, lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return 0;
    }
    return n;
}

// The escaping loop the three forms share: a character of two or more bytes goes through whole,
// except a C1 control (C2 80..C2 9F); an ASCII byte goes to `ascii`, which returns false to keep
// it; a byte that begins no character goes to `stray`.
template <class Ascii, class Stray> std::string escaped(std::string_view s, Ascii ascii, Stray stray) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const size_t n = sequence_at(s, i);
        if (n == 0) {
            stray(b, out);
        } else if (n == 2 && b == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F) {
            escape_control(static_cast<unsigned char>(s[i + 1]), out);
        } else if (n > 1 || !ascii(b, out)) {
            out.append(s, i, n);
        }
        i += n ? n : 1;
    }
    return out;
}

void hex_byte(unsigned char b, std::string &out) {
    out += "\\x";
    out += hex[b >> 4];
    out += hex[b & 0xF];
}

} // namespace

std::string valid_utf8(std::string_view s) { return unicode::utf16_to_utf8(unicode::utf8_to_utf16(s)); }

bool is_utf8(std::string_view s) {
    // a sequence that is not UTF-8 widens to U+FFFD and comes back as other bytes
    return valid_utf8(s) == s;
}

std::string from_utf16(std::u16string_view s) {
    std::u16string units(s);
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF)
            ++i; // a pair
        else if (c >= 0xD800 && c <= 0xDFFF)
            units[i] = 0xFFFD;
    }
    return unicode::utf16_to_utf8(units);
}

int char_width(char32_t c) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return 0; // controls print nothing; visible() escapes them
    if (c < 0x300) return 1;
    if (in(zero_width, c)) return 0;
    return in(wide, c) ? 2 : 1;
}

size_t display_width(std::string_view s) {
    size_t width = 0;
    for (size_t i = 0; i < s.size();) width += static_cast<size_t>(char_width(next(s, i)));
    return width;
}

std::string cut(std::string_view s, size_t cells) {
    if (display_width(s) <= cells) return std::string(s);
    if (cells == 0) return {};
    const size_t room = cells - 1; // the ellipsis takes one
    size_t used = 0, end = 0;
    for (size_t i = 0; i < s.size();) {
        const int w = char_width(next(s, i));
        if (used + static_cast<size_t>(w) > room) break;
        used += static_cast<size_t>(w);
        end = i; // zero-width marks stay with the character before them
    }
    return std::string(s.substr(0, end)) + "\xE2\x80\xA6";
}

std::string cut_left(std::string_view s, size_t cells) {
    if (display_width(s) <= cells) return std::string(s);
    if (cells == 0) return {};
    // where each character begins, so the suffix can be grown from the end one character at a time
    std::vector<size_t> starts;
    for (size_t i = 0; i < s.size();) {
        starts.push_back(i);
        next(s, i);
    }
    size_t used = 0, begin = s.size();
    for (size_t k = starts.size(); k-- > 0;) {
        size_t at = starts[k];
        const int w = char_width(next(s, at));
        if (used + static_cast<size_t>(w) > cells - 1) break;
        used += static_cast<size_t>(w);
        begin = starts[k];
    }
    // a combining mark left at the front would have lost its letter
    while (begin < s.size()) {
        size_t at = begin;
        if (char_width(next(s, at)) != 0) break;
        begin = at;
    }
    return "\xE2\x80\xA6" + std::string(s.substr(begin));
}

std::string visible(std::string_view s) {
    return escaped(s, [](unsigned char b, std::string &out) { return escape_control(b, out); }, hex_byte);
}

std::string tsv_escaped(std::string_view s) {
    return escaped(
        s,
        [](unsigned char b, std::string &out) {
            if (b != '\\') return escape_control(b, out);
            out += "\\\\";
            return true;
        },
        hex_byte);
}

std::string json_quoted(std::string_view s) {
    auto unicode_escape = [](unsigned prefix, unsigned char b, std::string &out) {
        out += "\\u";
        out += hex[prefix >> 4];
        out += hex[prefix & 0xF];
        out += hex[b >> 4];
        out += hex[b & 0xF];
    };
    std::string body = escaped(
        s,
        [&](unsigned char b, std::string &out) {
            switch (b) {
            case '"': out += "\\\""; return true;
            case '\\': out += "\\\\"; return true;
            case '\b': out += "\\b"; return true;
            case '\f': out += "\\f"; return true;
            case '\n': out += "\\n"; return true;
            case '\r': out += "\\r"; return true;
            case '\t': out += "\\t"; return true;
            default: break;
            }
            if (b >= 0x20 && b != 0x7F) return false;
            unicode_escape(0x00, b, out);
            return true;
        },
        [&](unsigned char b, std::string &out) { unicode_escape(0xDC, b, out); });
    return '"' + body + '"';
}

std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

} // namespace text
