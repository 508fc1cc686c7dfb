// The system ANSI code page through the platform's converters, with no flags: invalid bytes and
// characters the code page lacks are replaced (best fit, else the default character), never refused.
#include "codepage.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

#include "charset.h"
#include "unicode.h"

namespace codepage {

namespace {

int length_for_api(size_t n) {
    if (n > static_cast<size_t>(INT_MAX)) throw std::length_error("text too long for the code-page converter");
    return static_cast<int>(n);
}

} // namespace

std::u16string widen(std::string_view ansi) {
    if (ansi.empty()) return {};
    const int in = length_for_api(ansi.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), in, nullptr, 0);
    if (n <= 0) throw std::runtime_error("MultiByteToWideChar failed");
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), in, reinterpret_cast<wchar_t *>(out.data()), n);
    return out;
}

std::string narrow(std::u16string_view text) {
    if (text.empty()) return {};
    const auto *wide = reinterpret_cast<const wchar_t *>(text.data());
    const int in = length_for_api(text.size());
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, in, nullptr, 0, nullptr, nullptr);
    if (n <= 0) throw std::runtime_error("WideCharToMultiByte failed");
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, in, out.data(), n, nullptr, nullptr);
    return out;
}

size_t fit(std::string_view ansi, size_t limit) {
    if (ansi.size() <= limit) return ansi.size();
    // a system set to UTF-8 has no lead bytes in the DBCS sense
    if (GetACP() == CP_UTF8) return unicode::utf8_fit(ansi, limit);
    // a trail byte can look like a lead byte, so only a scan from the start finds the boundaries
    size_t end = 0;
    while (end < ansi.size()) {
        const size_t step = IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(ansi[end])) && end + 1 < ansi.size() ? 2 : 1;
        if (end + step > limit) break;
        end += step;
    }
    return end;
}

} // namespace codepage

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

std::optional<std::array<char32_t, 128>> charset::upper_half(std::string_view encoding) {
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
