// The series-number parser against a second reading of its rules built on std::from_chars, plus the
// properties that hold between texts: leading spaces never matter, a trailing one always fails, and a
// number printed in decimal or hexadecimal reads back as itself.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "int_parse.h"

namespace {

std::optional<int32_t> reference(std::u16string_view text) {
    std::string s;
    for (char16_t c : text) {
        if (c > 0x7F) return std::nullopt; // every character the rules accept is ASCII
        s.push_back(static_cast<char>(c));
    }
    std::string_view v(s);
    v.remove_prefix(std::min(v.find_first_not_of(' '), v.size()));
    bool negative = false;
    if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
        negative = v[0] == '-';
        v.remove_prefix(1);
    }
    int base = 10;
    if (!v.empty() && (v[0] == '$' || v[0] == 'x' || v[0] == 'X')) {
        base = 16;
        v.remove_prefix(1);
    } else if (v.size() >= 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    // from_chars would take a sign of its own; the rules allow one sign only, before the prefix
    if (v.empty() || v[0] == '+' || v[0] == '-') return std::nullopt;
    uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), magnitude, base);
    if (ec != std::errc() || end != v.data() + v.size()) return std::nullopt;
    if (base == 16) {
        const size_t first = v.find_first_not_of('0');
        if (first != std::string_view::npos && v.size() - first > 8) return std::nullopt;
        const uint32_t bits = static_cast<uint32_t>(magnitude);
        return static_cast<int32_t>(negative ? 0u - bits : bits);
    }
    if (magnitude > (negative ? 2147483648u : 2147483647u)) return std::nullopt;
    return static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
}

std::u16string ascii(const std::string &s) { return std::u16string(s.begin(), s.end()); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // the bytes as UTF-16LE code units, so any unit can occur (lone surrogates, NUL, full-width digits)
    std::u16string text(size / 2, u'\0');
    for (size_t k = 0; k < text.size(); ++k) text[k] = static_cast<char16_t>(data[2 * k] | data[2 * k + 1] << 8);

    const auto got = parse_int32(text);
    FUZZ_CHECK(got == reference(text));
    FUZZ_CHECK(parse_int32(u"  " + text) == got);
    FUZZ_CHECK(!parse_int32(text + u" "));
    if (got) {
        FUZZ_CHECK(parse_int32(ascii(std::to_string(*got))) == got);
        char hex[16];
        std::snprintf(hex, sizeof hex, "$%X", static_cast<uint32_t>(*got));
        FUZZ_CHECK(parse_int32(ascii(hex)) == got);
    }
    // the same bytes read as ASCII text, where short inputs reach the interesting forms sooner
    const std::u16string narrow(data, data + size);
    FUZZ_CHECK(parse_int32(narrow) == reference(narrow));
    return 0;
}
