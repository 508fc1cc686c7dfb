// The filter's vector type and where it may be used, decided here from the compiler's target alone,
// whoever includes it: SSE2 wherever the target has it, and on 32-bit x86 compiled for SSE2 too and
// used only where the processor has it. Elsewhere there are no vectors and the byte loop does all.
#pragma once

#include <cstdint>

#if defined(__SSE2__) || (defined(__i386__) && defined(__GNUC__))
#define TOVREL_FILTER_SSE2 1
#include <emmintrin.h>
#endif

// the attribute of every function that uses the vector type: the instruction set it is compiled for,
// where that is not the file's own
#if defined(TOVREL_FILTER_SSE2) && defined(__i386__) && !defined(__SSE2__)
#define TOVREL_VECTOR_CODE __attribute__((target("sse2")))
#else
#define TOVREL_VECTOR_CODE
#endif

namespace filter::simd {

#ifdef TOVREL_FILTER_SSE2

// whether this processor runs the vector code
inline bool available() {
#if defined(__i386__) && !defined(__SSE2__)
    // (the processor's features are read by a constructor of the runtime's; read them here too, as a
    // host may read a book before every constructor of the library has run)
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2") != 0;
    }();
    return have;
#else
    return true;
#endif
}

// sixteen bytes, and the operations the filter's runs are written over
struct Sse2 {
    using V = __m128i;
    static constexpr unsigned width = 16;
    TOVREL_VECTOR_CODE static V load(const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const V *>(p)); }
    TOVREL_VECTOR_CODE static uint32_t lanes(V m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); }
    TOVREL_VECTOR_CODE static V all(char c) { return _mm_set1_epi8(c); }
    TOVREL_VECTOR_CODE static V gt(V a, V b) { return _mm_cmpgt_epi8(a, b); } // signed
    TOVREL_VECTOR_CODE static V lt(V a, V b) { return _mm_cmpgt_epi8(b, a); }
    TOVREL_VECTOR_CODE static V eq(V a, V b) { return _mm_cmpeq_epi8(a, b); }
    TOVREL_VECTOR_CODE static V both(V a, V b) { return _mm_and_si128(a, b); }
    TOVREL_VECTOR_CODE static V either(V a, V b) { return _mm_or_si128(a, b); }
    TOVREL_VECTOR_CODE static V but(V a, V b) { return _mm_andnot_si128(b, a); } // a and not b
    TOVREL_VECTOR_CODE static V at_least(V a, V b) { return _mm_cmpeq_epi8(_mm_max_epu8(a, b), a); } // unsigned
};

#else

inline bool available() { return false; }

#endif

} // namespace filter::simd
