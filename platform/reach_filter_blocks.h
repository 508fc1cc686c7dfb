// The reach filter's runs over left-out text, sixteen bytes at a time, written once over a vector
// type's operations (SSE2 here; a wider set measured no faster on the corpus, whose runs end every
// few dozen bytes at a tag or a line break).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#ifdef TOVREL_SSE2
#include <emmintrin.h>
#endif

// the attributes of the vector functions: the instruction set they are compiled for, where it is not
// the file's own (SSE2 on 32-bit x86, used there only where the processor has it)
#ifndef TOVREL_BLOCKS
#define TOVREL_BLOCKS
#endif

namespace xmldoc {

// where a run of left-out text is, and what it has written
struct Run {
    unsigned char *b;
    size_t n, r, w;
    bool cr_last;    // the last byte written is a CR of left-out text
    bool spaced;     // a space stands in for the first character left out since the last write
    int64_t columns; // columns left out since the last write (counted only for finding positions)
    // where no query goes: the filter's count of open elements, and the depth of the first of them
    // that no query goes into (0: elsewhere)
    size_t *depth;
    size_t floor;
};

namespace {

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// bytes above ASCII are parts of letters in every encoding worked in; the parser judges them
inline constexpr std::array<bool, 256> name_starts = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
    return t;
}();
inline constexpr std::array<bool, 256> name_chars = [] {
    std::array<bool, 256> t = name_starts;
    for (int c = '0'; c <= '9'; ++c) t[c] = true;
    t['-'] = t['.'] = true;
    return t;
}();



// leaves out len bytes at r, columns of them; after a CR a space stands in for the first, so that
// the CR and a line feed after them stay two line breaks
inline void leave_out(Run &s, size_t len, int64_t columns) {
    if (s.cr_last) {
        s.b[s.w++] = ' ';
        s.cr_last = false;
        s.spaced = true;
    }
    s.columns += columns;
    s.r += len;
}

#ifdef TOVREL_SSE2

struct Sse2 {
    using V = __m128i;
    static constexpr unsigned width = 16;
    TOVREL_BLOCKS static V load(const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const V *>(p)); }
    TOVREL_BLOCKS static uint32_t lanes(V m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); }
    TOVREL_BLOCKS static V all(char c) { return _mm_set1_epi8(c); }
    TOVREL_BLOCKS static V gt(V a, V b) { return _mm_cmpgt_epi8(a, b); } // signed
    TOVREL_BLOCKS static V lt(V a, V b) { return _mm_cmpgt_epi8(b, a); }
    TOVREL_BLOCKS static V eq(V a, V b) { return _mm_cmpeq_epi8(a, b); }
    TOVREL_BLOCKS static V both(V a, V b) { return _mm_and_si128(a, b); }
    TOVREL_BLOCKS static V either(V a, V b) { return _mm_or_si128(a, b); }
    TOVREL_BLOCKS static V but(V a, V b) { return _mm_andnot_si128(b, a); } // a and not b
    TOVREL_BLOCKS static V at_least(V a, V b) { return _mm_cmpeq_epi8(_mm_max_epu8(a, b), a); } // unsigned
};


// the lanes below k, for k up to the width
inline uint32_t below(unsigned k) { return static_cast<uint32_t>((uint64_t{1} << k) - 1); }

// A tag whose '<' is lane j of the block v at p, where no query goes, taken whole when it ends in
// the block: an end tag ("</" and no '<' before its '>') that does not close the first element no
// query goes into, or a start tag (a name, no quote, no '<', a '/' only right before its '>').
// Passes it on and counts the depth; false when it is anything else, for the lexer.
template <class S> TOVREL_BLOCKS inline bool tag(Run &s, const unsigned char *p, typename S::V v, unsigned j) {
    const uint32_t after = ~below(j + 1);
    const uint32_t closes = S::lanes(S::eq(v, S::all('>'))) & after;
    if (closes == 0) return false;
    const unsigned g = static_cast<unsigned>(__builtin_ctz(closes));
    const uint32_t inside = after & below(g);
    const bool end = p[j + 1] == '/';
    uint32_t bad = S::lanes(S::eq(v, S::all('<')));
    if (end) {
        if (*s.depth == s.floor) return false; // the way back to where a query may go: the lexer's
    } else {
        // as the lexer has it: a name, ended by white space, '/' or '>'
        if (!name_starts[p[j + 1]]) return false;
        unsigned e = j + 2;
        while (e < g && name_chars[p[e]]) ++e;
        const unsigned char after_name = p[e];
        if (!(after_name == ' ' || after_name == '\t' || after_name == '\n' || after_name == '\r' ||
              after_name == '/' || after_name == '>'))
            return false;
        bad |= S::lanes(S::either(S::eq(v, S::all('"')), S::eq(v, S::all('\''))));
        // a '/' right before the '>' makes the element empty, and one anywhere else is the lexer's
        bad |= S::lanes(S::eq(v, S::all('/'))) & below(g - 1);
    }
    if (bad & inside) return false;
    const bool empty = !end && p[g - 1] == '/';
    for (unsigned k = j; k <= g; ++k) s.b[s.w++] = p[k];
    s.cr_last = false;
    s.r = static_cast<size_t>(p - s.b) + g + 1;
    if (end) --*s.depth;
    else if (!empty) ++*s.depth;
    return true;
}

// Leaves out the proven characters from s.r on, a block at a time, and writes the line breaks among
// them; returns where a byte needs a look of its own, or where less than a block is left. UTF-8:
// ASCII, two-byte characters and three-byte ones with a lead of E1 to EC or EE; a single-byte
// encoding: ASCII and every byte from high up. Finding positions (mapping), every line break stops
// it, so that each drop is noted where it was, and columns are counted.
template <class S, bool utf8, bool mapping> TOVREL_BLOCKS inline void blocks(Run &s, unsigned high) {
    constexpr unsigned width = S::width;
    constexpr uint32_t full = width == 32 ? 0xFFFFFFFFu : 0xFFFFu;
    // A character a block cuts is taken with it, and its continuations are what the next block must
    // start with (carry): so every block is a whole one, and where the next one starts never waits
    // for this one's masks. Where they are not there, or no next block comes, the byte path takes
    // the character again from its lead (cut bytes back).
    uint32_t carry = 0;
    unsigned cut = 0;
    const auto take_back = [&] {
        if (carry == 0) return;
        s.r -= cut;
        if (mapping) s.columns -= 1;
    };
    while (s.n - s.r >= width) {
        const unsigned char *p = s.b + s.r;
        if (carry && (!is_continuation(p[0]) || ((carry & 2) && !is_continuation(p[1])))) {
            take_back();
            return;
        }
        const typename S::V v = S::load(p);
        // proven ASCII: 0x20 to 0x7F (signed: bytes above 7F fail) but '<', '&' and ']', and tab
        const uint32_t ascii = S::lanes(
            S::either(S::but(S::gt(v, S::all(0x1F)),
                             S::either(S::either(S::eq(v, S::all('<')), S::eq(v, S::all('&'))), S::eq(v, S::all(']')))),
                      S::eq(v, S::all('\t'))));
        uint32_t drop = ascii, starts = ascii;
        uint32_t next_carry = 0;
        unsigned next_cut = 0;
        if (ascii != full) {
            if (utf8) {
                if (S::lanes(v) != 0) {
                    // signed bytes: 80..BF are -128..-65, C2..DF are -62..-33, E1..EC are -31..-20,
                    // EE is -18 (the three-byte leads whose second byte has no range of its own)
                    const uint32_t cont = S::lanes(S::lt(v, S::all(-64)));
                    const uint32_t lead2 = S::lanes(S::both(S::gt(v, S::all(-63)), S::lt(v, S::all(-32))));
                    // (most text above ASCII has two-byte characters only: no byte from E0 up)
                    const uint32_t lead3 =
                        S::lanes(S::at_least(v, S::all(static_cast<char>(0xE0)))) == 0
                            ? 0
                            : S::lanes(S::either(S::both(S::gt(v, S::all(-32)), S::lt(v, S::all(-19))),
                                                 S::eq(v, S::all(-18))));
                    const uint32_t lead = lead2 | lead3;
                    // every lead has its continuations after it and every continuation a lead before,
                    // up to the first lane where that fails, less a character left unfinished there
                    const uint64_t expected = uint64_t{lead2} << 1 | uint64_t{lead3} << 1 | uint64_t{lead3} << 2;
                    const uint32_t mismatch = ((static_cast<uint32_t>(expected) & full) | carry) ^ cont;
                    unsigned k = width;
                    if (mismatch == 0) {
                        next_carry = static_cast<uint32_t>(expected >> width);
                        // (a lead in the last lane, or a three-byte one before it: never both)
                        next_cut = (lead >> (width - 1) & 1) + 2 * (lead3 >> (width - 2) & 1);
                    } else {
                        k = static_cast<unsigned>(__builtin_ctz(mismatch));
                        if (k >= 1 && (lead >> (k - 1) & 1)) k -= 1;
                        else if (k >= 2 && (lead3 >> (k - 2) & 1)) k -= 2;
                    }
                    drop |= (lead | cont) & below(k);
                    starts |= lead & below(k);
                }
            } else if (high < 0x100) {
                const uint32_t upper = S::lanes(S::at_least(v, S::all(static_cast<char>(high))));
                drop |= upper;
                starts |= upper;
            }
        }
        if (drop == full) {
            leave_out(s, width, mapping ? __builtin_popcount(starts) : 0);
            carry = next_carry;
            cut = next_cut;
            continue;
        }
        // Line breaks among proven characters are written in order (finding positions, each is the
        // byte path's, to note the drops beside it). A CR with a character left out after it gets the
        // space that keeps it and a later line feed two line breaks; where that character is the one
        // the block cuts, the space waits for it (cr_last), as it may yet be kept.
        uint32_t breaks = 0;
        if (!mapping) breaks = S::lanes(S::either(S::eq(v, S::all('\n')), S::eq(v, S::all('\r'))));
        const uint64_t open = ~static_cast<uint64_t>(drop | breaks) | (uint64_t{1} << width);
        const unsigned end = static_cast<unsigned>(__builtin_ctzll(open));
        breaks &= below(end);
        const unsigned owed = end == width && next_cut ? width - next_cut : width; // the cut character's lane
        if (breaks == 0) {
            if (end > 0) leave_out(s, end, mapping ? __builtin_popcount(starts & below(end)) : 0);
        } else {
            unsigned char *out = s.b + s.w;
            if (s.cr_last && (drop & 1)) *out++ = ' ';
            for (uint32_t m = breaks; m != 0; m &= m - 1) {
                const unsigned k = static_cast<unsigned>(__builtin_ctz(m));
                *out++ = p[k];
                if (p[k] == '\r' && k + 1 < end && k + 1 != owed && (drop >> (k + 1) & 1)) *out++ = ' ';
            }
            const unsigned last = 31 - static_cast<unsigned>(__builtin_clz(breaks));
            s.cr_last = p[last] == '\r' && (last + 1 == end || last + 1 == owed);
            s.w = static_cast<size_t>(out - s.b);
            s.r += end;
        }
        if (end == width) {
            carry = next_carry;
            cut = next_cut;
            continue;
        }
        carry = 0; // (the block ends before the character it cuts)
        if (mapping || s.floor == 0 || p[end] != '<' || !tag<S>(s, p, v, end)) return;
    }
    take_back();
}

#endif

} // namespace
} // namespace xmldoc
