// Text as fb2cols prints it: valid UTF-8, measured in terminal cells, cut to a width, escaped for the
// terminal, TSV and JSON. A file name may hold bytes that are not UTF-8 (POSIX names, names in a zip
// archive): each escape below writes such a byte so that a script can get it back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

// the same text with every invalid UTF-8 byte replaced by U+FFFD, so any output stays valid UTF-8
std::string valid_utf8(std::string_view s);
bool is_utf8(std::string_view s);

// UTF-16 as UTF-8, an unpaired surrogate shown as U+FFFD (the project's conversion otherwise)
std::string from_utf16(std::u16string_view s);

// cells a terminal gives one character: combining marks and zero-width characters none, East Asian
// wide and fullwidth characters two, everything else one (Cyrillic included)
int char_width(char32_t c);
// cells of a (valid UTF-8) text
size_t display_width(std::string_view s);

// the text in at most `cells` cells: whole when it fits, else its longest prefix that leaves a cell
// for "…", which ends it; a character, its combining marks and a wide character's two cells stay together
std::string cut(std::string_view s, size_t cells);

// the text in at most `cells` cells, keeping its end: "…" and the longest suffix that fits in the rest
// (for a path, whose end tells rows apart)
std::string cut_left(std::string_view s, size_t cells);

// for a table cell and a note on standard error: every C0 control, DEL and C1 control escaped, so
// nothing reaches the terminal that it would act on: \t \n \r, else \xHH (C0, DEL) or \u00HH (C1);
// a byte that is not UTF-8 as \xHH
std::string visible(std::string_view s);

// a TSV field: \t \n \r \\ for tab, line feed, carriage return and backslash (the one-record-a-line
// form), the other controls and bytes that are not UTF-8 as visible() writes them
std::string tsv_escaped(std::string_view s);

// a JSON string literal, quotes included; C0, DEL and C1 controls as \u escapes; a byte that is not
// UTF-8 as \udcHH, the lone surrogate Python's surrogateescape reads back as that byte
std::string json_quoted(std::string_view s);

// 2610 as "2,610"
std::string grouped(uint64_t n);

} // namespace text
