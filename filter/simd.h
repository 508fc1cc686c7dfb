// The filter's vector types and where they may be used, decided here from the compiler's target
// alone, whoever includes it: on x86 SSE2 and AVX2 are compiled in and used as far as the processor
// goes (SSE2 is every x86-64's; on 32-bit x86 it is checked too). Elsewhere there are no vectors and
// the byte loop does all.
#pragma once

#include <cstdint>

#if defined(__SSE2__) || (defined(__i386__) && defined(__GNUC__))
#define TOVREL_FILTER_SSE2 1
#include <emmintrin.h>
#if defined(__GNUC__)
// AVX2 is compiled in for every x86 and used where the processor (and the system) has it
#define TOVREL_FILTER_AVX2 1
#include <immintrin.h>
#define TOVREL_AVX2_CODE __attribute__((target("avx2")))
#define TOVREL_AVX2_OP __attribute__((target("avx2"), always_inline))
#endif
#endif

// the attribute of every function that uses the vector type: the instruction set it is compiled for,
// where that is not the file's own; its operations are always inlined, so that no vector crosses a
// call between code of two instruction sets
#if defined(TOVREL_FILTER_SSE2) && defined(__i386__) && !defined(__SSE2__)
#define TOVREL_VECTOR_CODE __attribute__((target("sse2")))
#define TOVREL_SSE2_OP __attribute__((target("sse2"), always_inline))
#else
#define TOVREL_VECTOR_CODE
#define TOVREL_SSE2_OP __attribute__((always_inline))
#endif

namespace filter::simd {

// how wide the filter's runs go: a byte at a time, sixteen bytes, thirty-two
enum class Level : uint8_t { bytes, sse2, avx2 };

// the widest this processor runs
inline Level best() {
#ifdef TOVREL_FILTER_SSE2
    // (the processor's features are read by a constructor of the runtime's; read them here too, as a
    // host may read a book before every constructor of the library has run)
    static const Level level = [] {
        __builtin_cpu_init();
#ifdef TOVREL_FILTER_AVX2
        if (__builtin_cpu_supports("avx2")) return Level::avx2;
#endif
#if defined(__i386__) && !defined(__SSE2__)
        if (!__builtin_cpu_supports("sse2")) return Level::bytes;
#endif
        return Level::sse2;
    }();
    return level;
#else
    return Level::bytes;
#endif
}

#ifdef TOVREL_FILTER_SSE2

// sixteen bytes, and the operations the filter's runs are written over
struct Sse2 {
    using V = __m128i;
    static constexpr unsigned width = 16;
    TOVREL_SSE2_OP static V load(const unsigned char *p) { return _mm_loadu_si128(reinterpret_cast<const V *>(p)); }
    TOVREL_SSE2_OP static uint32_t lanes(V m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); }
    TOVREL_SSE2_OP static V all(char c) { return _mm_set1_epi8(c); }
    TOVREL_SSE2_OP static V gt(V a, V b) { return _mm_cmpgt_epi8(a, b); } // signed
    TOVREL_SSE2_OP static V lt(V a, V b) { return _mm_cmpgt_epi8(b, a); }
    TOVREL_SSE2_OP static V eq(V a, V b) { return _mm_cmpeq_epi8(a, b); }
    TOVREL_SSE2_OP static V both(V a, V b) { return _mm_and_si128(a, b); }
    TOVREL_SSE2_OP static V either(V a, V b) { return _mm_or_si128(a, b); }
    TOVREL_SSE2_OP static V but(V a, V b) { return _mm_andnot_si128(b, a); } // a and not b
    TOVREL_SSE2_OP static V at_least(V a, V b) { return _mm_cmpeq_epi8(_mm_max_epu8(a, b), a); } // unsigned
};

#endif

#ifdef TOVREL_FILTER_AVX2

// thirty-two bytes, the same operations
struct Avx2 {
    using V = __m256i;
    static constexpr unsigned width = 32;
    TOVREL_AVX2_OP static V load(const unsigned char *p) { return _mm256_loadu_si256(reinterpret_cast<const V *>(p)); }
    TOVREL_AVX2_OP static uint32_t lanes(V m) { return static_cast<uint32_t>(_mm256_movemask_epi8(m)); }
    TOVREL_AVX2_OP static V all(char c) { return _mm256_set1_epi8(c); }
    TOVREL_AVX2_OP static V gt(V a, V b) { return _mm256_cmpgt_epi8(a, b); } // signed
    TOVREL_AVX2_OP static V lt(V a, V b) { return _mm256_cmpgt_epi8(b, a); }
    TOVREL_AVX2_OP static V eq(V a, V b) { return _mm256_cmpeq_epi8(a, b); }
    TOVREL_AVX2_OP static V both(V a, V b) { return _mm256_and_si256(a, b); }
    TOVREL_AVX2_OP static V either(V a, V b) { return _mm256_or_si256(a, b); }
    TOVREL_AVX2_OP static V but(V a, V b) { return _mm256_andnot_si256(b, a); } // a and not b
    TOVREL_AVX2_OP static V at_least(V a, V b) { return _mm256_cmpeq_epi8(_mm256_max_epu8(a, b), a); } // unsigned
};

#endif

} // namespace filter::simd
