// The reach filter's runs over left-out text, a vector block at a time, written once over a vector
// type's operations (simd.h, blocks_impl.h) and compiled once for each instruction set. A run stops at
// each byte that needs a look of its own, a tag's '<' among them, for the byte path and the lexer in
// reach_filter.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chars.h"
#include "simd.h"

namespace filter {

// leaves out len bytes at r, columns of them; after a CR a space stands in for the first, so that
// the CR and a line feed after them stay two line breaks
template <class Cursor, class Text> inline void leave_out(Cursor &s, Text &t, size_t len, int64_t columns) {
    if (t.cr_last) {
        s.b[s.w++] = ' ';
        t.cr_last = false;
        t.spaced = true;
    }
    t.columns += columns;
    s.r += len;
}

#ifdef TOVREL_FILTER_SSE2

// the lanes below k, for k up to the width
inline uint32_t below(unsigned k) { return static_cast<uint32_t>((uint64_t{1} << k) - 1); }

#define TOVREL_BLOCKS blocks_sse2
#define TOVREL_BLOCKS_TARGET TOVREL_VECTOR_CODE
#include "blocks_impl.h"
#undef TOVREL_BLOCKS
#undef TOVREL_BLOCKS_TARGET

#ifdef TOVREL_FILTER_AVX2
#define TOVREL_BLOCKS blocks_avx2
#define TOVREL_BLOCKS_TARGET TOVREL_AVX2_CODE
#include "blocks_impl.h"
#undef TOVREL_BLOCKS
#undef TOVREL_BLOCKS_TARGET
#endif

#endif

} // namespace filter
