#include "heap.h"

#include <malloc.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <string>

// glibc's own allocator under the names it keeps for whoever replaces malloc
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {

// the benchmark runs on one thread, so plain counters do; an atomic would tax every allocation
int64_t held = 0;
int64_t high = 0;

inline void *taken(void *p) {
    if (p) {
        held += static_cast<int64_t>(malloc_usable_size(p));
        if (held > high) high = held;
    }
    return p;
}

inline void given_back(void *p) {
    if (p) held -= static_cast<int64_t>(malloc_usable_size(p));
}

int64_t status_kib(const char *key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) return std::strtoll(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}

} // namespace

// Replacing malloc in the executable replaces it for Expat, libxml2 and the C++ runtime as well.
// Visibility must be default: the project builds with hidden symbols, and a hidden malloc would
// only be ours.
#define TOVREL_HOOK extern "C" __attribute__((visibility("default")))

TOVREL_HOOK void *malloc(size_t n) noexcept { return taken(__libc_malloc(n)); }

TOVREL_HOOK void *calloc(size_t count, size_t n) noexcept { return taken(__libc_calloc(count, n)); }

TOVREL_HOOK void *realloc(void *p, size_t n) noexcept {
    const int64_t before = p ? static_cast<int64_t>(malloc_usable_size(p)) : 0;
    void *q = __libc_realloc(p, n);
    if (q || n == 0) held -= before; // a failed realloc keeps the old block
    return taken(q);
}

TOVREL_HOOK void free(void *p) noexcept {
    given_back(p);
    __libc_free(p);
}

TOVREL_HOOK void *memalign(size_t align, size_t n) noexcept { return taken(__libc_memalign(align, n)); }

TOVREL_HOOK void *aligned_alloc(size_t align, size_t n) noexcept { return taken(__libc_memalign(align, n)); }

TOVREL_HOOK int posix_memalign(void **out, size_t align, size_t n) noexcept {
    void *p = taken(__libc_memalign(align, n));
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}

namespace heap {

int64_t current() { return held; }
int64_t peak() { return high; }
void reset_peak() { high = held; }

int64_t resident() { return status_kib("VmRSS") * 1024; }
int64_t resident_peak() { return status_kib("VmHWM") * 1024; }

bool reset_resident_peak() {
    // "5" resets the high-water mark to the current resident set (Linux 4.0 and later)
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

} // namespace heap
