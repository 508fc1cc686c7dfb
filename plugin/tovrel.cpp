// The library's main file: ties the cache's life to the library's load and unload.
#include "FB2_Content.h"

#ifdef _WIN32
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (!module_start()) return FALSE; // no memory for an empty map: refuse to load
        break;
    case DLL_PROCESS_DETACH:
        // at process exit (reserved != null) other threads are gone, possibly mid-call: leave it to the system
        if (!reserved) module_stop();
        break;
    default: // thread notifications: nothing of ours to do
        break;
    }
    return TRUE;
}

#else

namespace {

// A shared object cannot refuse to load from here: without memory for its cache it loads and
// answers no value, rather than end the host at dlopen.
struct Module {
    Module() { module_start(); }
    ~Module() { module_stop(); }
} module;

} // namespace

#endif
