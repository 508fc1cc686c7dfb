// The system ANSI code page through the platform's converters, with no flags: invalid bytes and
// characters the code page lacks are replaced (best fit, else the default character), never refused.
#include "codepage.h"

#include <windows.h>

#include <climits>
#include <stdexcept>

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
