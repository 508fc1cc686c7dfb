// What one read costs in memory: bytes held on the heap (every malloc in the process, the parsers'
// included) and the resident set as the kernel counts it.
#pragma once

#include <cstdint>

namespace heap {

// usable bytes held right now, and the most held since the last reset
int64_t current();
int64_t peak();
void reset_peak();

// resident set in bytes, and its high-water mark since reset_resident_peak()
int64_t resident();
int64_t resident_peak();
// false where the kernel does not let us reset the mark (then resident_peak() is the process's)
bool reset_resident_peak();

} // namespace heap
