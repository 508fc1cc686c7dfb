// The body of the vector runs, written once and included by blocks.h once for each instruction set,
// with TOVREL_BLOCKS its name and TOVREL_BLOCKS_TARGET its target attribute: the vector operations
// must be compiled for the set whose registers they use, in the function that holds them.

// Leaves out the proven characters from s.r on, a block at a time, and writes the line breaks among
// them; returns where a byte needs a look of its own, or where less than a block is left. A '<' is
// handed to markup(s), which takes the markup from there and says whether left-out text goes on
// (finding positions, the byte path takes it). Without lines, line breaks are left out as text is. UTF-8:
// ASCII, two-byte characters and three-byte ones with a lead of E1 to EC or EE; a single-byte
// encoding: ASCII and every byte from high up. Finding positions (mapping), every line break stops
// it, so that each drop is noted where it was, and columns are counted.
template <class S, bool utf8, bool mapping, bool lines, class Cursor, class Text, class Markup>
TOVREL_BLOCKS_TARGET inline void TOVREL_BLOCKS(Cursor &s, Text &t, unsigned high, Markup &&markup) {
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
        if (mapping) t.columns -= 1;
    };
    while (s.n - s.r >= width) {
        const unsigned char *p = s.b + s.r;
        if (carry && (!is_continuation(p[0]) || ((carry & 2) && !is_continuation(p[1])))) {
            take_back();
            return;
        }
        const typename S::V v = S::load(p);
        // proven ASCII: 0x20 to 0x7F (signed: bytes above 7F fail) but '<', '&' and ']', and tab; and
        // where line breaks are left out too, those
        const typename S::V controls = lines ? S::eq(v, S::all('\t'))
                                             : S::either(S::eq(v, S::all('\t')),
                                                         S::either(S::eq(v, S::all('\n')), S::eq(v, S::all('\r'))));
        const uint32_t ascii = S::lanes(
            S::either(S::but(S::gt(v, S::all(0x1F)),
                             S::either(S::either(S::eq(v, S::all('<')), S::eq(v, S::all('&'))), S::eq(v, S::all(']')))),
                      controls));
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
            leave_out(s, t, width, mapping ? __builtin_popcount(starts) : 0);
            carry = next_carry;
            cut = next_cut;
            continue;
        }
        // Line breaks among proven characters are written in order (finding positions, each is the
        // byte path's, to note the drops beside it). A CR with a character left out after it gets the
        // space that keeps it and a later line feed two line breaks; where that character is the one
        // the block cuts, the space waits for it (cr_last), as it may yet be kept.
        uint32_t breaks = 0;
        if (!mapping && lines) breaks = S::lanes(S::either(S::eq(v, S::all('\n')), S::eq(v, S::all('\r'))));
        const uint64_t open = ~static_cast<uint64_t>(drop | breaks) | (uint64_t{1} << width);
        const unsigned end = static_cast<unsigned>(__builtin_ctzll(open));
        breaks &= below(end);
        const unsigned owed = end == width && next_cut ? width - next_cut : width; // the cut character's lane
        if (breaks == 0) {
            if (end > 0) leave_out(s, t, end, mapping ? __builtin_popcount(starts & below(end)) : 0);
        } else {
            unsigned char *out = s.b + s.w;
            if (t.cr_last && (drop & 1)) *out++ = ' ';
            for (uint32_t m = breaks; m != 0; m &= m - 1) {
                const unsigned k = static_cast<unsigned>(__builtin_ctz(m));
                *out++ = p[k];
                if (p[k] == '\r' && k + 1 < end && k + 1 != owed && (drop >> (k + 1) & 1)) *out++ = ' ';
            }
            const unsigned last = 31 - static_cast<unsigned>(__builtin_clz(breaks));
            t.cr_last = p[last] == '\r' && (last + 1 == end || last + 1 == owed);
            s.w = static_cast<size_t>(out - s.b);
            s.r += end;
        }
        if (end == width) {
            carry = next_carry;
            cut = next_cut;
            continue;
        }
        // (the block ends before the character it cuts: nothing is carried)
        if (mapping || p[end] != '<') return;
        carry = 0;
        if (!markup(s)) return;
    }
    take_back();
}

