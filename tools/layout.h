// The table's columns narrowed to fit a terminal's width.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace layout {

// cells between two columns
inline constexpr size_t gap = 2;

struct Column {
    size_t natural = 0; // the widest cell, the name included
    size_t name = 0;    // the name's width
    bool number = false;
};

// cells of a line with columns this wide
size_t line_width(const std::vector<size_t> &widths);

// Widths for the columns (the file first) so a line fits `width` cells, each no wider than it needs:
// first the file column gives up what it has beyond a quarter of the line, then the longest text
// columns shrink (the file column among them) down to their names' widths, and only when even the
// names do not fit does every column, numbers too, go down as far as one cell.
std::vector<size_t> fit(const std::vector<Column> &columns, size_t width);

// one line of the table: each cell cut to its column's width, padded, numbers to the right; no
// trailing blanks; a line that still does not fit (more columns than cells) is cut at the width
std::string line(const std::vector<std::string> &cells, const std::vector<size_t> &widths,
                 const std::vector<bool> &right, size_t width);

} // namespace layout
