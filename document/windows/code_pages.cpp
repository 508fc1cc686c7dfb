// The single-byte code pages a book may name, as the document object takes them: what the filter in
// front of it may leave out of their upper half.
#include "upper_half.h"

#include <windows.h>

namespace xmldoc {

namespace {

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// the code page of a single-byte encoding a book may name, or 0
UINT code_page(std::string_view name) {
    const struct {
        std::string_view name;
        UINT page;
    } named[] = {{"US-ASCII", 20127}, {"KOI8-R", 20866}, {"KOI8-U", 21866}, {"cp866", 866}, {"IBM866", 866}};
    for (const auto &n : named)
        if (same_letters(name, n.name)) return n.page;
    const auto number = [](std::string_view digits) -> UINT {
        if (digits.empty() || digits.size() > 2 || digits[0] == '0') return 0;
        UINT n = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') return 0;
            n = n * 10 + static_cast<UINT>(c - '0');
        }
        return n;
    };
    if (name.size() > 9 && same_letters(name.substr(0, 9), "ISO-8859-")) {
        const UINT part = number(name.substr(9));
        return part >= 1 && part <= 16 ? 28590 + part : 0;
    }
    if (name.size() == 12 && same_letters(name.substr(0, 11), "windows-125")) {
        const UINT last = number(name.substr(11));
        return name[11] >= '0' && name[11] <= '8' ? 1250 + last : 0;
    }
    return 0;
}

} // namespace

std::optional<std::array<char32_t, 128>> upper_half(std::string_view encoding) {
    const UINT page = code_page(encoding);
    CPINFO info;
    if (page == 0 || !GetCPInfo(page, &info) || info.MaxCharSize != 1) return std::nullopt;
    std::array<char32_t, 128> half{};
    for (size_t b = 0; b < half.size(); ++b) {
        const char byte = static_cast<char>(0x80 + b);
        wchar_t c = 0;
        // with the flag, a byte the code page leaves undefined is refused rather than best-fitted
        if (MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, &byte, 1, &c, 1) == 1) half[b] = c;
    }
    return half;
}

} // namespace xmldoc
