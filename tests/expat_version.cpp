// Prints the Expat a program of this build runs against: its version and the file it came from
// (patch levels share a version, so the file tells them apart). ./build.sh names each test run so.
#include <dlfcn.h>
#include <expat.h>

#include <cstdio>

int main() {
    Dl_info info{};
    const bool found = dladdr(reinterpret_cast<void *>(&XML_ExpatVersion), &info) != 0 && info.dli_fname;
    std::printf("%s from %s\n", XML_ExpatVersion(), found ? info.dli_fname : "an unknown file");
    return 0;
}
