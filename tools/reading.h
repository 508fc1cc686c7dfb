// Every use fb2cols makes of the library's own reader, in one place: the file to adapt when the
// reader's interface moves. fb2cols reads a book itself where the plug-in's entry points cannot help:
// to learn why a book gave no values, and to read the bytes of a book that has no name the entry
// points can take (a member of an archive, a file whose name is not UTF-8).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reading {

// one value as the library holds it
struct Field {
    enum class Kind { missing, number, text } kind = Kind::missing;
    int32_t number = 0;
    std::u16string text;
};

struct Result {
    std::optional<std::string> failure; // the reader's message (UTF-8) when the book could not be read
    std::vector<Field> fields;          // the reader's fields in its order; empty after a failure
};

// Reads the file of that name (as the plug-in would be given it), or, with no name, the book's bytes
// in memory. A fault that is not the book's is a failure that says so.
Result read(const std::u16string *file, std::string_view document);

// true when these fields (names and type codes) are the reader's own, in its order: a plug-in built
// from it, whose rows fb2cols can then explain and read itself
bool fields_are_the_readers(const std::vector<std::pair<std::string, int32_t>> &fields);

} // namespace reading
