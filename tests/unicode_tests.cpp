// UTF-8 <-> UTF-16: what the reader stores and the POSIX code page hands out must survive every
// input a book or a host can contain, including broken ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "unicode.h"

namespace {

using namespace std::string_view_literals;

constexpr char16_t fffd = 0xFFFD;

// printable form of a byte string for failure messages
std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string hex(std::u16string_view units) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char16_t u : units) {
        if (!out.empty()) out += ' ';
        for (int shift = 12; shift >= 0; shift -= 4) out += digits[u >> shift & 15];
    }
    return out;
}

struct Widen {
    const char *label;
    std::string_view utf8;
    std::u16string_view utf16;
};

// one U+FFFD per byte that does not start or continue a well-formed sequence
const Widen widen_rows[] = {
    {"empty", ""sv, u""sv},
    {"ascii", "FB2 title"sv, u"FB2 title"sv},
    {"embedded nul is a character", "a\0b"sv, u"a\0b"sv},
    {"two bytes, smallest", "\xC2\x80"sv, u"\u0080"sv},
    {"two bytes, cyrillic", "\xD0\x96"sv, u"\u0416"sv},
    {"two bytes, largest", "\xDF\xBF"sv, u"\u07FF"sv},
    {"three bytes, smallest", "\xE0\xA0\x80"sv, u"\u0800"sv},
    {"three bytes, euro", "\xE2\x82\xAC"sv, u"\u20AC"sv},
    {"three bytes, last before surrogates", "\xED\x9F\xBF"sv, u"\uD7FF"sv},
    {"three bytes, first after surrogates", "\xEE\x80\x80"sv, u"\uE000"sv},
    {"three bytes, a literal replacement character", "\xEF\xBF\xBD"sv, u"\uFFFD"sv},
    {"three bytes, largest", "\xEF\xBF\xBF"sv, u"\uFFFF"sv},
    {"four bytes, smallest -> surrogate pair", "\xF0\x90\x80\x80"sv, u"\xD800\xDC00"sv},
    {"four bytes, musical symbol -> surrogate pair", "\xF0\x9D\x84\x9E"sv, u"\xD834\xDD1E"sv},
    {"four bytes, largest -> surrogate pair", "\xF4\x8F\xBF\xBF"sv, u"\xDBFF\xDFFF"sv},
    {"mixed", "a\xD0\x96\xE2\x82\xAC\xF0\x9D\x84\x9Ez"sv, u"a\u0416\u20AC\xD834\xDD1Ez"sv},
    {"lone continuation byte", "a\x80z"sv, u"a\xFFFDz"sv},
    {"continuation bytes only", "\x80\xBF"sv, u"\xFFFD\xFFFD"sv},
    {"lead byte followed by ascii", "\xC3z"sv, u"\xFFFDz"sv},
    {"truncated at the end", "a\xE2\x82"sv, u"a\xFFFD\xFFFD"sv},
    {"truncated four-byte sequence before ascii", "\xF0\x9D\x84z"sv, u"\xFFFD\xFFFD\xFFFDz"sv},
    {"overlong nul", "\xC0\x80"sv, u"\xFFFD\xFFFD"sv},
    {"overlong two bytes", "\xC1\xBF"sv, u"\xFFFD\xFFFD"sv},
    {"overlong three bytes", "\xE0\x80\xAF"sv, u"\xFFFD\xFFFD\xFFFD"sv},
    {"overlong three bytes, largest", "\xE0\x9F\xBF"sv, u"\xFFFD\xFFFD\xFFFD"sv},
    {"overlong four bytes", "\xF0\x8F\xBF\xBF"sv, u"\xFFFD\xFFFD\xFFFD\xFFFD"sv},
    {"encoded high surrogate", "\xED\xA0\x80"sv, u"\xFFFD\xFFFD\xFFFD"sv},
    {"encoded low surrogate", "\xED\xBF\xBF"sv, u"\xFFFD\xFFFD\xFFFD"sv},
    {"encoded surrogate pair (CESU-8)", "\xED\xA0\xBD\xED\xB2\xA9"sv, u"\xFFFD\xFFFD\xFFFD\xFFFD\xFFFD\xFFFD"sv},
    {"beyond U+10FFFF", "\xF4\x90\x80\x80"sv, u"\xFFFD\xFFFD\xFFFD\xFFFD"sv},
    {"bytes that never occur", "\xF5\xF8\xFE\xFF"sv, u"\xFFFD\xFFFD\xFFFD\xFFFD"sv},
    {"windows-1251 text is not UTF-8", "\xC2\xEE\xE9\xED\xE0"sv, u"\xFFFD\xFFFD\xFFFD\xFFFD\xFFFD"sv},
};

TEST(unicode, utf8_to_utf16_converts_and_replaces_invalid_bytes) {
    for (const Widen &row : widen_rows) {
        SCOPED_TRACE(row.label);
        const std::u16string got = unicode::utf8_to_utf16(row.utf8);
        EXPECT_EQ(got, row.utf16) << "input " << hex(row.utf8) << ", got " << hex(got);
    }
}

TEST(unicode, append_utf8_as_utf16_keeps_what_is_there) {
    for (const Widen &row : widen_rows) {
        SCOPED_TRACE(row.label);
        std::u16string out = u"\u0416x";
        unicode::append_utf8_as_utf16(out, row.utf8);
        EXPECT_EQ(out, u"\u0416x" + std::u16string(row.utf16)) << "input " << hex(row.utf8);
    }
}

TEST(unicode, utf8_to_utf16_never_yields_an_unpaired_surrogate) {
    // every two-byte prefix pattern, cut short and followed by text: whatever comes out must be valid UTF-16
    for (int b0 = 0x80; b0 <= 0xFF; ++b0) {
        for (int b1 = 0x00; b1 <= 0xFF; b1 += 0x0F) {
            const std::string in{static_cast<char>(b0), static_cast<char>(b1), '\x80', '\xBF', 'z'};
            const std::u16string out = unicode::utf8_to_utf16(in);
            SCOPED_TRACE(hex(in));
            ASSERT_FALSE(out.empty());
            EXPECT_EQ(out.back(), u'z');
            for (size_t i = 0; i < out.size(); ++i) {
                const char16_t u = out[i];
                if (u >= 0xD800 && u <= 0xDBFF) {
                    ASSERT_LT(i + 1, out.size());
                    EXPECT_TRUE(out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) << hex(out);
                    ++i;
                } else {
                    EXPECT_FALSE(u >= 0xDC00 && u <= 0xDFFF) << hex(out);
                }
            }
        }
    }
}

struct Narrow {
    const char *label;
    std::u16string_view utf16;
    std::string_view utf8;
};

const Narrow narrow_rows[] = {
    {"empty", u""sv, ""sv},
    {"ascii", u"FB2 title"sv, "FB2 title"sv},
    {"nul", u"a\0b"sv, "a\0b"sv},
    {"U+007F", u"\u007F"sv, "\x7F"sv},
    {"U+0080", u"\u0080"sv, "\xC2\x80"sv},
    {"cyrillic", u"\u0416"sv, "\xD0\x96"sv},
    {"U+07FF", u"\u07FF"sv, "\xDF\xBF"sv},
    {"U+0800", u"\u0800"sv, "\xE0\xA0\x80"sv},
    {"euro", u"\u20AC"sv, "\xE2\x82\xAC"sv},
    {"U+FFFE", u"\uFFFE"sv, "\xEF\xBF\xBE"sv},
    {"U+FFFF", u"\uFFFF"sv, "\xEF\xBF\xBF"sv},
    {"smallest pair", u"\xD800\xDC00"sv, "\xF0\x90\x80\x80"sv},
    {"musical symbol pair", u"\xD834\xDD1E"sv, "\xF0\x9D\x84\x9E"sv},
    {"largest pair", u"\xDBFF\xDFFF"sv, "\xF4\x8F\xBF\xBF"sv},
    {"lone high surrogate at the end", u"ab\xD800"sv, "ab?"sv},
    {"lone high surrogate before text", u"\xD800z"sv, "?z"sv},
    {"lone low surrogate", u"\xDC00z"sv, "?z"sv},
    {"pair in the wrong order", u"\xDC00\xD800"sv, "??"sv},
    {"two highs then a low", u"\xD800\xD834\xDD1E"sv, "?\xF0\x9D\x84\x9E"sv},
    {"high before a non-surrogate", u"\xD800\u0416"sv, "?\xD0\x96"sv},
};

TEST(unicode, utf16_to_utf8_converts_and_replaces_lone_surrogates) {
    for (const Narrow &row : narrow_rows) {
        SCOPED_TRACE(row.label);
        const std::string got = unicode::utf16_to_utf8(row.utf16);
        EXPECT_EQ(got, row.utf8) << "input " << hex(row.utf16) << ", got " << hex(got);
    }
}

TEST(unicode, well_formed_text_survives_the_round_trip) {
    for (const Widen &row : widen_rows) {
        if (row.utf16.find(fffd) != std::u16string_view::npos && row.utf8 != "\xEF\xBF\xBD"sv) continue;
        SCOPED_TRACE(row.label);
        EXPECT_EQ(unicode::utf16_to_utf8(unicode::utf8_to_utf16(row.utf8)), row.utf8);
        EXPECT_EQ(unicode::utf8_to_utf16(unicode::utf16_to_utf8(row.utf16)), row.utf16);
    }
}

struct Fit {
    const char *label;
    std::string_view text;
    size_t limit;
    size_t expected;
};

const Fit fit_rows[] = {
    {"empty", ""sv, 0, 0},
    {"empty, room to spare", ""sv, 5, 0},
    {"ascii fits", "abc"sv, 3, 3},
    {"ascii, room to spare", "abc"sv, 10, 3},
    {"ascii cut", "abc"sv, 2, 2},
    {"nothing allowed", "abc"sv, 0, 0},
    {"cut before a two-byte character", "a\xD0\x96"sv, 1, 1},
    {"cut inside a two-byte character", "a\xD0\x96"sv, 2, 1},
    {"two-byte character fits", "a\xD0\x96"sv, 3, 3},
    {"cut between two-byte characters", "\xD0\x96\xD0\x96"sv, 2, 2},
    {"cut after the first byte of three", "\xE2\x82\xAC"sv, 1, 0},
    {"cut after the second byte of three", "\xE2\x82\xAC"sv, 2, 0},
    {"three-byte character fits", "\xE2\x82\xAC"sv, 3, 3},
    {"cut inside four bytes, 1", "a\xF0\x9D\x84\x9E"sv, 2, 1},
    {"cut inside four bytes, 2", "a\xF0\x9D\x84\x9E"sv, 3, 1},
    {"cut inside four bytes, 3", "a\xF0\x9D\x84\x9E"sv, 4, 1},
    {"four-byte character fits", "a\xF0\x9D\x84\x9E"sv, 5, 5},
    {"four-byte character then ascii", "\xF0\x9D\x84\x9Ez"sv, 4, 4},
};

TEST(unicode, utf8_fit_cuts_on_a_character_boundary) {
    for (const Fit &row : fit_rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(unicode::utf8_fit(row.text, row.limit), row.expected) << hex(row.text) << " limit " << row.limit;
    }
}

TEST(unicode, utf8_fit_gives_the_longest_prefix_that_does_not_split_a_sequence) {
    const std::string_view texts[] = {
        "\xD0\x92\xD0\xBE\xD0\xB9\xD0\xBD\xD0\xB0 \xD0\xB8 \xD0\xBC\xD0\xB8\xD1\x80"sv, // cyrillic and spaces
        "a\xE2\x82\xAC\xF0\x9D\x84\x9E\xD0\x96z\xF4\x8F\xBF\xBF"sv,                     // every length
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"sv,                                       // three-byte run
    };
    for (const std::string_view text : texts) {
        SCOPED_TRACE(hex(text));
        for (size_t limit = 0; limit <= text.size() + 2; ++limit) {
            SCOPED_TRACE("limit " + std::to_string(limit));
            const size_t n = unicode::utf8_fit(text, limit);
            ASSERT_LE(n, std::min(limit, text.size()));
            // a boundary: the byte after the prefix is not a continuation byte
            if (n < text.size()) {
                EXPECT_NE(static_cast<unsigned char>(text[n]) & 0xC0, 0x80);
            }
            // the longest: no boundary lies between n and the limit
            for (size_t k = n + 1; k <= std::min(limit, text.size()); ++k)
                EXPECT_FALSE(k == text.size() || (static_cast<unsigned char>(text[k]) & 0xC0) != 0x80)
                    << "boundary at " << k << " was passed over";
            // and what is left is still well-formed
            const std::u16string wide = unicode::utf8_to_utf16(text.substr(0, n));
            EXPECT_EQ(wide.find(fffd), std::u16string::npos);
        }
    }
}

} // namespace
