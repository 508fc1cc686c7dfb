// What any output of the image filter must be to its input, whatever the document: shared by the
// filter's tests and its fuzz target.
#pragma once

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "image_filter.h"

namespace filter_checks {

// bytes the filter may drop or turn into spaces: the base64 alphabet, space and tab
inline bool droppable(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=' || c == ' ' || c == '\t';
}

// where a byte is as the parser counts: a CR, an LF or both together end a line
struct Place {
    size_t line = 1, column = 0;
    bool after_cr = false;
    void step(char c) {
        if (c == '\n') {
            if (!after_cr) ++line;
            column = 0;
        } else if (c == '\r') {
            ++line;
            column = 0;
        } else {
            ++column;
        }
        after_cr = c == '\r';
    }
};

// Why out cannot have come from in through the filter, or empty when it can: every other byte is there,
// in order, at the same line and column (a line break on the same line); between two of them out holds
// in's droppable bytes with some left out and some turned into spaces.
inline std::string broken(std::string_view in, std::string_view out) {
    size_t i = 0, o = 0;
    Place at_in, at_out;
    for (;;) {
        const size_t i_end = [&] {
            size_t e = i;
            while (e < in.size() && droppable(in[e])) ++e;
            return e;
        }();
        for (; o < out.size() && droppable(out[o]); ++o) {
            // each byte out is the next one kept, or a space for one
            while (i < i_end && out[o] != ' ' && in[i] != out[o]) at_in.step(in[i++]);
            if (i == i_end) return "byte " + std::to_string(o) + " out is not from the input's bytes there";
            at_in.step(in[i++]);
            at_out.step(out[o]);
        }
        while (i < i_end) at_in.step(in[i++]);
        if (i == in.size() || o == out.size()) {
            if (i != in.size()) return "the output ends before input byte " + std::to_string(i);
            if (o != out.size()) return "the output goes on past the input at byte " + std::to_string(o);
            return {};
        }
        if (in[i] != out[o])
            return "input byte " + std::to_string(i) + " is not at output byte " + std::to_string(o);
        // a line break of a line left out is at its start; it only has to end the same line
        const bool line_break = in[i] == '\n' || in[i] == '\r';
        if (at_in.line != at_out.line || (!line_break && at_in.column != at_out.column))
            return "input byte " + std::to_string(i) + " at line " + std::to_string(at_in.line) + ", column " +
                   std::to_string(at_in.column) + " comes out at line " + std::to_string(at_out.line) +
                   ", column " + std::to_string(at_out.column);
        at_in.step(in[i++]);
        at_out.step(out[o++]);
    }
}

// The document through a fresh filter, cut into pieces of the sizes given in turn (0: the rest at
// once); each piece sits in a buffer with exactly the room the filter asks for, and a byte written past
// that room throws. end_apart: the end is told by an empty call after the last piece.
inline std::string filtered(std::string_view doc, std::string_view element, const std::vector<size_t> &cuts,
                            bool end_apart = false) {
    constexpr size_t room = xmldoc::ImageFilter::max_held;
    constexpr char guard = '\x5A';
    size_t widest = 0;
    for (size_t c : cuts) widest = std::max(widest, c == 0 ? doc.size() : std::min(c, doc.size()));
    std::vector<char> store(widest + room + 16, guard);
    xmldoc::ImageFilter f(element);
    std::string out;
    size_t at = 0, k = 0;
    const auto piece = [&](size_t n, bool last) {
        // the piece and its room end where the guard bytes begin
        char *buf = store.data() + (widest - n);
        std::copy(doc.data() + at, doc.data() + at + n, buf);
        const size_t got = f.filter(buf, n, last);
        for (size_t g = widest + room; g < store.size(); ++g)
            if (store[g] != guard) throw std::logic_error("the filter wrote past the room it asks for");
        if (got > n + room) throw std::logic_error("the filter gave more bytes than the buffer holds");
        out.append(buf, got);
        at += n;
    };
    do {
        const size_t cut = cuts.empty() ? 0 : cuts[k++ % cuts.size()];
        const size_t n = cut == 0 ? doc.size() - at : std::min(cut, doc.size() - at);
        const bool last = at + n == doc.size();
        piece(n, last && !end_apart);
        if (last) break;
    } while (true);
    if (end_apart) piece(0, true);
    return out;
}

inline std::string filtered(std::string_view doc, std::string_view element, size_t piece, bool end_apart = false) {
    return filtered(doc, element, std::vector<size_t>{piece}, end_apart);
}

} // namespace filter_checks
