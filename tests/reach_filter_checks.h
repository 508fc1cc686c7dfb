// What any output of the reach filter must be to its input, whatever the document: shared by the
// filter's tests and its fuzz target.
#pragma once

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "query.h"
#include "reach_filter.h"
#include "upper_half.h"

namespace filter_checks {

// the reader's queries, as the document layer gets them
inline const filter::Reach &book_reach() {
    static const std::u16string_view queries[] = {
        u"/FictionBook/description/title-info/genre[0]",
        u"/FictionBook/description/title-info/author[0]/first-name",
        u"/FictionBook/description/title-info/author[0]/last-name",
        u"/FictionBook/description/title-info/book-title",
        u"/FictionBook/description/title-info/sequence/@name",
        u"/FictionBook/description/title-info/sequence/@number",
    };
    static const auto set = xmldoc::query_set(queries);
    return set->reach;
}

// how the document layer's filter works with a reach (null: everything passes), counting columns
// as Expat does
inline filter::Rules rules(const filter::Reach *reach = &book_reach(),
                           filter::Columns columns = filter::Columns::characters) {
    return {reach, columns, &xmldoc::upper_half};
}

// the same, judging, with vectors at most so wide
inline filter::Rules judging(filter::simd::Level widest = filter::simd::Level::avx2) {
    filter::Rules r = rules();
    r.judge = true;
    r.widest = widest;
    return r;
}

// bytes the filter never leaves out
inline bool kept_always(char c) { return c == '<' || c == '&' || c == ']' || c == '\n' || c == '\r'; }

// Why out cannot have come from in through the filter, or empty when it can: out is in with bytes left
// out, but never one of '<', '&', ']' or a line break, and with a space standing in for what follows a
// CR where anything was left out there.
inline std::string broken(std::string_view in, std::string_view out) {
    size_t i = 0, o = 0;
    while (o < out.size()) {
        if (i < in.size() && in[i] == out[o]) {
            ++i, ++o;
            continue;
        }
        if (out[o] == ' ' && o > 0 && out[o - 1] == '\r' && i < in.size() && !kept_always(in[i])) {
            ++o, ++i; // the space for the first byte left out after the CR
            continue;
        }
        if (i == in.size()) return "output byte " + std::to_string(o) + " is past the input";
        if (kept_always(in[i])) return "input byte " + std::to_string(i) + " was left out";
        ++i;
    }
    for (; i < in.size(); ++i)
        if (kept_always(in[i])) return "input byte " + std::to_string(i) + " was left out at the end";
    return {};
}

struct Filtered {
    std::string out;
    filter::Outcome outcome = filter::Outcome::going;
};

// The document through a fresh filter, cut into pieces of the sizes given in turn (0: the rest at
// once); each piece sits in a buffer with exactly the room before it that the filter asks for, and
// guard bytes on both sides, which must survive. Stops where a judging filter stops.
inline Filtered run_filter(std::string_view doc, const std::vector<size_t> &cuts, const filter::Rules &how) {
    constexpr char guard = '\x5A';
    constexpr size_t guards = 16, room = filter::ReachFilter::max_held;
    filter::ReachFilter f(how);
    Filtered result;
    // one buffer for every piece: guards, the room, the biggest piece, guards
    std::vector<char> buf(guards + room + doc.size() + guards, guard);
    char *const piece = buf.data() + guards + room;
    const auto spoilt = [](const char *from, size_t n) { return std::any_of(from, from + n, [](char c) { return c != guard; }); };
    size_t at = 0, k = 0;
    do {
        const size_t cut = cuts.empty() ? 0 : cuts[k++ % cuts.size()];
        const size_t n = cut == 0 ? doc.size() - at : std::min(cut, doc.size() - at);
        std::copy(doc.data() + at, doc.data() + at + n, piece);
        std::fill(piece + n, piece + n + guards, guard);
        const std::string_view got = f.filter(piece, n, at + n == doc.size());
        if (got.data() < buf.data() + guards || got.data() + got.size() > piece + n)
            throw std::logic_error("the filter gave bytes outside its room and the piece");
        if (spoilt(buf.data(), guards) || spoilt(piece + n, guards))
            throw std::logic_error("the filter wrote outside its room and the piece");
        result.out.append(got);
        at += n;
        result.outcome = f.outcome();
        if (result.outcome != filter::Outcome::going) break;
    } while (at < doc.size());
    return result;
}

inline std::string filtered(std::string_view doc, const std::vector<size_t> &cuts,
                            const filter::Reach *reach = &book_reach()) {
    return run_filter(doc, cuts, rules(reach)).out;
}

inline std::string filtered(std::string_view doc, size_t piece = 0) { return filtered(doc, std::vector<size_t>{piece}); }

// a reader of the document from its start, for column_shift
inline filter::Reader reader(std::string_view doc) {
    return [doc, at = size_t{0}](char *buf, size_t n) mutable {
        const size_t got = std::min(n, doc.size() - at);
        std::copy(doc.data() + at, doc.data() + at + got, buf);
        at += got;
        return got;
    };
}

} // namespace filter_checks
