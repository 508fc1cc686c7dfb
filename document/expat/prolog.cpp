#include "prolog.h"

#include "chars.h"

namespace xmldoc::expat {

namespace {

bool is_xml_space(char c) { return filter::is(static_cast<unsigned char>(c), filter::char_space); }

} // namespace

Prolog sniff(std::string_view head) {
    Prolog p;
    const auto byte = [head](size_t i) { return i < head.size() ? static_cast<unsigned char>(head[i]) : 0x100u; };
    size_t at = 0, step = 1, low = 0; // a character is step bytes, its ASCII byte at offset low
    if (byte(0) == 0xFE && byte(1) == 0xFF) {
        p.family = Family::utf16be;
        at = 2, step = 2, low = 1;
    } else if (byte(0) == 0xFF && byte(1) == 0xFE) {
        p.family = Family::utf16le;
        at = 2, step = 2;
    } else if (byte(0) == 0x3C && byte(1) == 0x00) {
        p.family = Family::utf16le;
        step = 2;
    } else if (byte(0) == 0x00 && byte(1) == 0x3C) {
        p.family = Family::utf16be;
        step = 2, low = 1;
    } else if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        at = 3;
    }
    std::string text;
    for (; at + step <= head.size(); at += step) {
        if (step == 2 && head[at + 1 - low] != 0) break;
        const char c = head[at + low];
        if (c == 0 || static_cast<unsigned char>(c) >= 0x80) break;
        text += c;
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, "?>") == 0) break;
    }
    if (text.size() < 8 || text.compare(0, 5, "<?xml") != 0 || !is_xml_space(text[5]) ||
        text.compare(text.size() - 2, 2, "?>") != 0)
        return p;
    p.declaration = text;
    // the pseudo-attributes: name = "value" or 'value'
    size_t i = 5;
    const auto skip_space = [&] {
        while (i < text.size() && is_xml_space(text[i])) ++i;
    };
    for (;;) {
        skip_space();
        const size_t name = i;
        while (i < text.size() && text[i] != '=' && !is_xml_space(text[i]) && text[i] != '?') ++i;
        const std::string_view key(text.data() + name, i - name);
        skip_space();
        if (key.empty() || i >= text.size() || text[i] != '=') break;
        ++i;
        skip_space();
        if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) break;
        const size_t close = text.find(text[i], i + 1);
        if (close == std::string::npos) break;
        if (key == "encoding") p.encoding = text.substr(i + 1, close - i - 1);
        i = close + 1;
    }
    return p;
}

} // namespace xmldoc::expat
