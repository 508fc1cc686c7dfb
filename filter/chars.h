// What each byte is to the filter: one table of character classes, bit flags as the lexer and the
// text it leaves out ask for them, and what UTF-8 makes of a lead byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace filter {

enum CharClass : uint8_t {
    char_space = 1,      // XML white space: space, tab, line feed, carriage return
    char_name_start = 2, // may start a name; a byte above ASCII is part of a letter in every encoding
                         // worked in, and the parser judges it
    char_name = 4,       // may stand inside a name
    char_text = 8,       // ASCII that is a whole character the parser takes in text and that may be left
                         // out: never '<' or '&' (markup, references), nor ']' (a "]]>" must reach it)
    char_tag_stop = 16,  // what a start tag's lexer looks at: quotes, '>', '/', '<'
    char_end_stop = 32,  // what an end tag's lexer looks at: '>', '<'
    char_letter = 64,    // an ASCII letter
    char_plain = 128,    // a name character every parser takes alike: ASCII, no ':' (no prefix)
};

inline constexpr std::array<uint8_t, 256> char_classes = [] {
    std::array<uint8_t, 256> t{};
    const auto add = [&t](unsigned char c, uint8_t cls) { t[c] = static_cast<uint8_t>(t[c] | cls); };
    for (const unsigned char c : {' ', '\t', '\n', '\r'}) add(c, char_space);
    for (int c = 0; c < 256; ++c) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (letter) add(static_cast<unsigned char>(c), char_letter);
        if (letter || c == '_' || c == ':' || c >= 0x80) add(static_cast<unsigned char>(c), char_name_start | char_name);
        if ((c >= '0' && c <= '9') || c == '-' || c == '.') add(static_cast<unsigned char>(c), char_name);
        if (letter || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_') add(static_cast<unsigned char>(c), char_plain);
        if (c >= 0x20 && c < 0x80 && c != '<' && c != '&' && c != ']') add(static_cast<unsigned char>(c), char_text);
    }
    add('\t', char_text);
    for (const unsigned char c : {'"', '\'', '>', '/', '<'}) add(c, char_tag_stop);
    for (const unsigned char c : {'>', '<'}) add(c, char_end_stop);
    return t;
}();

inline bool is(unsigned char c, uint8_t classes) { return (char_classes[c] & classes) != 0; }

// the bytes from p (n of them) up to the first one of the classes given, or n
inline size_t span_not(const unsigned char *p, size_t n, uint8_t classes) {
    size_t e = 0;
    while (e < n && !is(p[e], classes)) ++e;
    return e;
}
inline size_t span_of(const unsigned char *p, size_t n, uint8_t classes) {
    size_t e = 0;
    while (e < n && is(p[e], classes)) ++e;
    return e;
}

// ---- UTF-8

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// the bytes a lead byte announces (1 for a byte that leads nothing)
inline size_t announced(unsigned char c) {
    return c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1;
}

// the bytes Expat takes together with a lead byte before it judges them: its table makes C0 and C1
// two-byte leads and F5 to F7 four-byte ones, refused only once their sequence is there
inline size_t judged_with(unsigned char c) {
    return c >= 0xF0 && c <= 0xF7 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC0 && c < 0xE0 ? 2 : 1;
}

// The length of the character at p when it is one the parser takes in text and that may be left out
// (well-formed, not overlong, no surrogate, not U+FFFE or U+FFFF, complete within n bytes); else 0.
inline size_t utf8_proven(const unsigned char *p, size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) return is(c, char_text) ? 1 : 0;
    const size_t len = announced(c);
    if (len == 1 || len > n) return 0;
    for (size_t i = 1; i < len; ++i)
        if (!is_continuation(p[i])) return 0;
    const unsigned char d = p[1];
    switch (c) {
    case 0xE0: return d >= 0xA0 ? len : 0;
    case 0xED: return d < 0xA0 ? len : 0;
    case 0xEF: return d == 0xBF && p[2] >= 0xBE ? 0 : len;
    case 0xF0: return d >= 0x90 ? len : 0;
    case 0xF4: return d < 0x90 ? len : 0;
    default: return len;
    }
}

} // namespace filter
