#include "layout.h"

#include <algorithm>
#include <numeric>

#include "text.h"

namespace layout {

namespace {

// caps the columns above their floors at the widest cap that fits, then hands the cells left over to
// the capped columns, leftmost first; false when even every column at its floor is too wide
bool shrink(std::vector<size_t> &w, const std::vector<size_t> &floor, size_t width) {
    auto capped = [&](size_t cap) {
        std::vector<size_t> out(w.size());
        for (size_t i = 0; i < w.size(); ++i) out[i] = std::max(floor[i], std::min(w[i], cap));
        return out;
    };
    if (line_width(capped(0)) > width) {
        w = capped(0);
        return false;
    }
    size_t lo = 0, hi = *std::max_element(w.begin(), w.end()); // capped(lo) fits; capped(hi) is w
    while (lo < hi) {
        const size_t mid = lo + (hi - lo + 1) / 2;
        if (line_width(capped(mid)) <= width) lo = mid;
        else hi = mid - 1;
    }
    std::vector<size_t> out = capped(lo);
    size_t room = width - line_width(out);
    for (size_t i = 0; i < w.size() && room; ++i)
        if (w[i] > out[i]) ++out[i], --room;
    w = std::move(out);
    return true;
}

} // namespace

size_t line_width(const std::vector<size_t> &widths) {
    if (widths.empty()) return 0;
    return std::accumulate(widths.begin(), widths.end(), size_t{0}) + gap * (widths.size() - 1);
}

std::vector<size_t> fit(const std::vector<Column> &columns, size_t width, size_t path) {
    std::vector<size_t> w;
    for (const Column &c : columns) w.push_back(c.natural);
    if (w.empty() || line_width(w) <= width) return w;

    // the file column first: a path is long and its folders repeat on every line
    if (path < w.size()) {
        const size_t excess = line_width(w) - width;
        const size_t file_floor = std::max(columns[path].name, std::min(columns[path].natural, width / 4));
        if (w[path] > file_floor) w[path] -= std::min(excess, w[path] - file_floor);
        if (line_width(w) <= width) return w;
    }

    // then the longest text columns, no further than what they keep, then no further than their names
    std::vector<size_t> floor(w.size());
    for (const bool keeping : {true, false}) {
        for (size_t i = 0; i < w.size(); ++i)
            floor[i] = columns[i].number ? w[i]
                                         : std::min(w[i], keeping ? std::max(columns[i].name, columns[i].keep)
                                                                  : columns[i].name);
        std::vector<size_t> tried = w;
        if (shrink(tried, floor, width)) return tried;
        if (!keeping) w = std::move(tried); // every text column at its name's width
    }

    // a terminal narrower than the names: everything, down to one cell
    for (size_t i = 0; i < w.size(); ++i) floor[i] = std::min<size_t>(columns[i].natural, 1);
    shrink(w, floor, width);
    return w;
}

std::string line(const std::vector<std::string> &cells, const std::vector<size_t> &widths,
                 const std::vector<Align> &align, size_t width) {
    std::string s;
    for (size_t i = 0; i < cells.size(); ++i) {
        if (i) s.append(gap, ' ');
        const std::string cell =
            align[i] == Align::path ? text::cut_left(cells[i], widths[i]) : text::cut(cells[i], widths[i]);
        // a cut before a wide character may leave a cell free
        const std::string pad(widths[i] - std::min(widths[i], text::display_width(cell)), ' ');
        s += align[i] == Align::right ? pad + cell : cell + pad;
    }
    s.erase(s.find_last_not_of(' ') + 1);
    return text::display_width(s) > width ? text::cut(s, width) : s;
}

} // namespace layout
