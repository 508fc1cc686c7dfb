// The series number is the one value a book can make unreadable: whatever this parser refuses
// fails the whole file, so every accepted and refused form is pinned.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "int_parse.h"

namespace {

using namespace std::string_view_literals;

constexpr int32_t int_min = INT32_MIN;
constexpr int32_t int_max = INT32_MAX;

struct Row {
    std::u16string_view text;
    std::optional<int32_t> expected; // nullopt: refused
};

// the label of a row is its text, escaped so that spaces and controls show
std::string label(std::u16string_view text) {
    std::string out = "\"";
    for (const char16_t c : text) {
        if (c >= 0x21 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char buf[12];
            std::snprintf(buf, sizeof buf, "<U+%04X>", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out + "\"";
}

const Row rows[] = {
    // decimal
    {u"0"sv, 0},
    {u"3"sv, 3},
    {u"42"sv, 42},
    {u"-3"sv, -3},
    {u"+3"sv, 3},
    {u"-0"sv, 0},
    {u"+0"sv, 0},
    {u"003"sv, 3},
    {u"-007"sv, -7},
    {u"2147483647"sv, int_max},
    {u"-2147483648"sv, int_min},
    {u"+2147483647"sv, int_max},
    {u"00000000000000000002147483647"sv, int_max}, // leading zeros do not count against the range
    {u"-00000000000000000002147483648"sv, int_min},
    {u"2147483648"sv, std::nullopt},
    {u"-2147483649"sv, std::nullopt},
    {u"4294967296"sv, std::nullopt},
    {u"4294967299"sv, std::nullopt}, // would wrap to 3 in 32 bits
    {u"99999999999999999999"sv, std::nullopt},
    {u"18446744073709551619"sv, std::nullopt}, // would wrap to 3 in 64 bits
    // leading spaces: U+0020 and nothing else
    {u" 3"sv, 3},
    {u"     3"sv, 3},
    {u" -3"sv, -3},
    {u"  +3"sv, 3},
    {u" $1A"sv, 26},
    {u"\t3"sv, std::nullopt},
    {u"\n3"sv, std::nullopt},
    {u"\r3"sv, std::nullopt},
    {u"\v3"sv, std::nullopt},
    {u"\f3"sv, std::nullopt},
    {u"\u00A03"sv, std::nullopt}, // no-break space
    {u"\u30003"sv, std::nullopt}, // ideographic space
    {u" \t3"sv, std::nullopt},
    // nothing after the digits
    {u"3 "sv, std::nullopt},
    {u"3\t"sv, std::nullopt},
    {u"3\n"sv, std::nullopt},
    {u"3a"sv, std::nullopt},
    {u"1.5"sv, std::nullopt},
    {u"1,5"sv, std::nullopt},
    {u"1e3"sv, std::nullopt},
    {u"3-"sv, std::nullopt},
    {u"3\0"sv, std::nullopt},
    {u"1 000"sv, std::nullopt},
    // nothing to parse
    {u""sv, std::nullopt},
    {u" "sv, std::nullopt},
    {u"    "sv, std::nullopt},
    {u"-"sv, std::nullopt},
    {u"+"sv, std::nullopt},
    {u" -"sv, std::nullopt},
    {u"$"sv, std::nullopt},
    {u"x"sv, std::nullopt},
    {u"X"sv, std::nullopt},
    {u"0x"sv, std::nullopt},
    {u"0X"sv, std::nullopt},
    {u"-$"sv, std::nullopt},
    {u"+0x"sv, std::nullopt},
    {u" $"sv, std::nullopt},
    // signs
    {u"--3"sv, std::nullopt},
    {u"++3"sv, std::nullopt},
    {u"+-3"sv, std::nullopt},
    {u"-+3"sv, std::nullopt},
    {u"- 3"sv, std::nullopt},
    {u"+ 3"sv, std::nullopt},
    {u"$-1"sv, std::nullopt},
    {u"0x-1"sv, std::nullopt},
    {u"$+1"sv, std::nullopt},
    // hexadecimal
    {u"$1A"sv, 26},
    {u"$1a"sv, 26},
    {u"x1A"sv, 26},
    {u"X1a"sv, 26},
    {u"0x1A"sv, 26},
    {u"0X1a"sv, 26},
    {u"$0"sv, 0},
    {u"0x0"sv, 0},
    {u"$abcdef"sv, 0xABCDEF},
    {u"$ABCDEF"sv, 0xABCDEF},
    {u"$7FFFFFFF"sv, int_max},
    {u"$FFFFFFFF"sv, -1},
    {u"$ffffffff"sv, -1},
    {u"$80000000"sv, int_min},
    {u"0x80000001"sv, int_min + 1},
    {u"-$1"sv, -1},
    {u"+$10"sv, 16},
    {u"-0x1A"sv, -26},
    {u"-$7FFFFFFF"sv, -int_max},
    {u"-$80000000"sv, int_min}, // negating the pattern wraps around
    {u"-$FFFFFFFF"sv, 1},       // minus -1
    {u"$000000001"sv, 1},       // leading zeros beyond 8 digits
    {u"$0000000000000000FFFFFFFF"sv, -1},
    {u"0x00000000080000000"sv, int_min},
    {u"$100000000"sv, std::nullopt}, // 9 significant digits
    {u"0x123456789"sv, std::nullopt},
    {u"$1G"sv, std::nullopt},
    {u"$1A "sv, std::nullopt},
    {u"$ 1"sv, std::nullopt},
    {u"0x 1"sv, std::nullopt},
    {u"1A"sv, std::nullopt},    // hexadecimal digits need a prefix
    {u"00x1A"sv, std::nullopt}, // the prefix is "0x", not zeros then x
    {u"0$1"sv, std::nullopt},
    {u"$$1"sv, std::nullopt},
    {u"0xx1"sv, std::nullopt},
    {u"h1A"sv, std::nullopt},
    {u"1Ah"sv, std::nullopt},
    // digits outside ASCII are not digits
    {u"\uFF13"sv, std::nullopt}, // fullwidth 3
    {u"\u0663"sv, std::nullopt}, // arabic-indic 3
    {u"\u0969"sv, std::nullopt}, // devanagari 3
    {u"\u00B3"sv, std::nullopt}, // superscript 3
    {u"1\uFF13"sv, std::nullopt},
    {u"$\uFF21"sv, std::nullopt},      // fullwidth A
    {u"\uFF0D3"sv, std::nullopt},      // fullwidth minus
    {u"\u22123"sv, std::nullopt},      // minus sign
    {u"3\u0301"sv, std::nullopt},      // 3 with a combining accent
    {u"\xD835\xDFD1"sv, std::nullopt}, // mathematical bold 3, a surrogate pair
    // low byte an ASCII digit or letter: a parser that narrows code units would take them for one
    {u"\u0130"sv, std::nullopt},
    {u"\u0133"sv, std::nullopt},
    {u"\u3033"sv, std::nullopt},
    {u"$\u0141"sv, std::nullopt},
};

TEST(int_parse, accepts_and_refuses_by_the_rules) {
    for (const Row &row : rows) {
        SCOPED_TRACE(label(row.text));
        const std::optional<int32_t> got = parse_int32(row.text);
        if (row.expected) {
            ASSERT_TRUE(got.has_value()) << "refused, expected " << *row.expected;
            EXPECT_EQ(*got, *row.expected);
        } else {
            EXPECT_FALSE(got.has_value()) << "accepted as " << got.value_or(0);
        }
    }
}

TEST(int_parse, every_int32_boundary_in_both_notations) {
    // decimal and hexadecimal spellings of the same value must agree near the edges
    const int64_t values[] = {0,     1,     9,           10,      15,      16,          255, 256,
                              65535, 65536, int_max - 1, int_max, int_min, int_min + 1, -1};
    for (const int64_t v : values) {
        SCOPED_TRACE(std::to_string(v));
        const std::string dec = std::to_string(v);
        char hex[16];
        std::snprintf(hex, sizeof hex, "$%X", static_cast<unsigned>(static_cast<uint32_t>(static_cast<int32_t>(v))));
        const std::u16string d(dec.begin(), dec.end()), h(hex, hex + std::strlen(hex));
        EXPECT_EQ(parse_int32(d), std::optional<int32_t>(static_cast<int32_t>(v))) << dec;
        EXPECT_EQ(parse_int32(h), std::optional<int32_t>(static_cast<int32_t>(v))) << hex;
    }
}

} // namespace
