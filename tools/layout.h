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
    size_t keep = 0;    // cells kept before the column shrinks to its name: a path's end, a reason's start
};

// how a cell sits in its column and where a cut takes from it
enum class Align {
    left,  // cut at the end
    right, // numbers: line up on their last digit
    path,  // cut from the left: the end of a path is what tells rows apart
};

// cells of a line with columns this wide
size_t line_width(const std::vector<size_t> &widths);

// Widths for the columns (the file first) so a line fits `width` cells, each no wider than it needs:
// first the file column gives up what it has beyond a quarter of the line, then the longest text
// columns shrink (the file column among them), those with cells to keep no further than those, the
// others down to their names' widths; then every text column down to its name's width, and only when
// even the names do not fit does every column, numbers too, go down as far as one cell.
// `path` is the file column's index (columns.size(): none).
std::vector<size_t> fit(const std::vector<Column> &columns, size_t width, size_t path = 0);

// one line of the table: each cell cut to its column's width as its alignment says, padded; no
// trailing blanks; a line that still does not fit (more columns than cells) is cut at the width
std::string line(const std::vector<std::string> &cells, const std::vector<size_t> &widths,
                 const std::vector<Align> &align, size_t width);

} // namespace layout
