// Text as fb2cols prints it: valid UTF-8, measured in terminal columns, escaped for TSV and JSON.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

// the same text with every invalid UTF-8 byte replaced by U+FFFD, so any output stays valid UTF-8
std::string valid_utf8(std::string_view s);

// columns a terminal gives the (valid UTF-8) text: combining marks and zero-width characters take
// none, East Asian wide and fullwidth characters two, everything else one (Cyrillic included)
size_t display_width(std::string_view s);

// for a table cell: control characters (a title's line breaks, tabs) become spaces
std::string one_line(std::string_view s);

// a TSV field: tab, line feed, carriage return and backslash as \t \n \r \\ (the one-record-a-line form)
std::string tsv_escaped(std::string_view s);

// a JSON string literal, quotes included
std::string json_quoted(std::string_view s);

} // namespace text
