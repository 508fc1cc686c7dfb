// Positions found again: the document filtered once more from its start, the drops noted, up to the
// byte the parser stopped at. Only a failing read whose message is asked for pays for it.
#include <memory>
#include <vector>

#include "chars.h"
#include "reach_filter.h"

namespace filter {

namespace {

constexpr size_t map_piece = 64u << 10;

// Filters the document again from its start, watching each byte given to the parser: stop(filter,
// offset, byte) is asked at each, and at the end (byte -1), and returns true to stop there; the
// shift of the position where it stopped comes back.
template <class Stop> int64_t replay(const Rules &rules, const Reader &read, Stop &&stop) {
    ReachFilter filter(rules);
    std::vector<ReachFilter::Drop> drops;
    filter.record(&drops);
    const auto buf = std::make_unique_for_overwrite<char[]>(ReachFilter::max_held + map_piece);
    char *const piece = buf.get() + ReachFilter::max_held;
    uint64_t base = 0;
    int64_t shift = 0;
    for (;;) {
        const size_t got = read(piece, map_piece);
        drops.clear();
        const std::string_view given = filter.filter(piece, got, got < map_piece);
        const size_t out = given.size();
        size_t d = 0;
        for (size_t i = 0; i < out; ++i) {
            for (; d < drops.size() && drops[d].at <= base + i; ++d) shift += drops[d].columns;
            const auto c = static_cast<unsigned char>(given[i]);
            if (stop(filter, base + i, static_cast<int>(c))) return shift;
            if (c == '\n' || c == '\r') shift = 0;
        }
        for (; d < drops.size(); ++d) shift += drops[d].columns;
        base += out;
        if (got < map_piece) break;
    }
    stop(filter, base, -1);
    return shift;
}

} // namespace

int64_t column_shift(const Rules &rules, const Reader &read, uint64_t at) {
    return replay(rules, read, [at](const ReachFilter &, uint64_t offset, int) { return offset >= at; });
}

int64_t column_shift(const Rules &rules, const Reader &read, uint64_t line, uint64_t column) {
    // the parser's count of lines and columns over what it was given, to find the offset it means
    uint64_t at_line = 1, at_column = 1;
    bool after_cr = false;
    int pending = 0; // continuation bytes still to come in a UTF-8 sequence
    return replay(rules, read, [&](const ReachFilter &filter, uint64_t, int c) {
        if (c < 0) return true;
        // (the line feed of a CRLF ends the line before: the line asked for starts after it)
        if (at_line == line && at_column >= column && pending == 0 && !(c == '\n' && after_cr)) return true;
        if (c == '\n') {
            if (!after_cr) ++at_line;
            at_column = 1;
        } else if (c == '\r') {
            ++at_line;
            at_column = 1;
        } else if (pending > 0 && is_continuation(static_cast<unsigned char>(c))) {
            --pending;
        } else {
            const size_t len = c >= 0x80 && filter.utf8() ? announced(static_cast<unsigned char>(c)) : 1;
            pending = static_cast<int>(len) - 1;
            at_column += len == 4 && rules.columns == Columns::utf16_units ? 2 : 1;
        }
        after_cr = c == '\r';
        return at_line > line;
    });
}

} // namespace filter
