// Every test program plays the host, whose main thread has COM set up (a single-threaded apartment)
// before it asks for values; threads a test starts set up their own, as a host's do.
#include <objbase.h>

#include <cstdio>
#include <cstdlib>

namespace {

struct Apartment {
    Apartment() {
        const HRESULT status = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(status)) {
            std::fprintf(stderr, "CoInitializeEx failed: %08lx\n", static_cast<unsigned long>(status));
            std::abort();
        }
    }
    // left to process exit: test objects destroyed after this one may still hold COM objects
} apartment;

} // namespace
