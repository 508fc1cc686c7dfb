// What a book's first bytes say, read the way Expat reads them: the byte order, and the XML
// declaration with the encoding it names.
#pragma once

#include <string>
#include <string_view>

namespace xmldoc::expat {

enum class Family { bytes, utf16le, utf16be };

struct Prolog {
    Family family = Family::bytes;
    std::string declaration; // the XML declaration as ASCII, when the book starts with one
    std::string encoding;    // the name it declares, if any
};

// A BOM, or a first '<' next to a zero byte, means UTF-16; the declaration is ASCII in either form.
Prolog sniff(std::string_view head);

} // namespace xmldoc::expat
