// tovrel_wine_bench: the 300 MB book through a Windows DLL, under Wine or on Windows. One process per
// measurement, so each one's peak resident set is its own; bench/wine-big-book.sh runs them all.
//
//   tovrel_wine_bench write DIR            writes DIR/huge.fb2 (four 75 MB images, the values first),
//                                          DIR/huge-stripped.fb2 (the same through the image filter)
//                                          and DIR/tiny.fb2
//   tovrel_wine_bench read DLL TINY BOOK   loads DLL as a host does, reads TINY to settle, then BOOK
//
// read prints one line of key=value: wall and CPU seconds, the resident set before the read, its
// high-water mark after (Wine takes both from the process's /proc status), the growth, and the title.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "books.h"
#include "contplug.h"
#include "image_filter.h"

namespace fs = std::filesystem;

namespace {

constexpr double mib = 1024.0 * 1024.0;

// the big book: what a scanned picture book looks like, its description at the top
books::Shape huge_shape() {
    books::Shape s;
    s.charset = books::Charset::utf8;
    s.text_bytes = 256u << 10;
    s.images = 4;
    s.image_bytes = 75'000'000;
    s.seed = 3;
    return s;
}

// the same bytes through the filter, as the parser gets them
void write_stripped(const fs::path &from, const fs::path &to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    xmldoc::ImageFilter filter("binary");
    constexpr size_t piece = 1u << 20;
    std::vector<char> buf(piece + xmldoc::ImageFilter::max_held);
    for (;;) {
        in.read(buf.data(), piece);
        const auto got = static_cast<size_t>(in.gcount());
        const bool last = got < piece;
        out.write(buf.data(), static_cast<std::streamsize>(filter.filter(buf.data(), got, last)));
        if (last) break;
    }
    if (!out) throw std::runtime_error("cannot write " + to.string());
}

int write_books(const fs::path &dir) {
    fs::create_directories(dir);
    std::fprintf(stderr, "writing %s...\n", (dir / "huge.fb2").string().c_str());
    books::write(dir / "huge.fb2", huge_shape());
    write_stripped(dir / "huge.fb2", dir / "huge-stripped.fb2");
    books::write(dir / "tiny.fb2", books::Shape{books::Charset::utf8, 0, 0, 0, 42});
    for (const char *name : {"huge.fb2", "huge-stripped.fb2", "tiny.fb2"})
        std::printf("%s %llu\n", name, static_cast<unsigned long long>(fs::file_size(dir / name)));
    return 0;
}

struct Memory {
    double resident, peak; // MiB
};

Memory memory() {
    PROCESS_MEMORY_COUNTERS c{};
    c.cb = sizeof c;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) return {-1, -1};
    return {static_cast<double>(c.WorkingSetSize) / mib, static_cast<double>(c.PeakWorkingSetSize) / mib};
}

double cpu_seconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
    const auto count = [](FILETIME t) { return static_cast<double>(ULONGLONG{t.dwHighDateTime} << 32 | t.dwLowDateTime); };
    return (count(kernel) + count(user)) * 1e-7;
}

double wall_seconds() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

std::wstring widen(const char *s) { return fs::path(s).wstring(); }

int read_book(const char *dll, const char *tiny, const char *book) {
    // a host has COM on its thread before it asks
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    const HMODULE lib = LoadLibraryW(widen(dll).c_str());
    if (!lib) {
        std::fprintf(stderr, "cannot load %s\n", dll);
        return 1;
    }
    // through a plain function pointer: FARPROC takes no arguments
    const auto get = reinterpret_cast<ContentGetValueWProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "ContentGetValueW")));
    if (!get) return 1;
    wchar_t title[512];
    // the document object, the DLL's tables and the heap settle on a small book first
    if (get(widen(tiny).c_str(), 3, 0, title, sizeof title, 0) != fld_widestring) {
        std::fprintf(stderr, "the small book gave no title\n");
        return 1;
    }
    const Memory before = memory();
    const double wall0 = wall_seconds(), cpu0 = cpu_seconds();
    const int32_t result = get(widen(book).c_str(), 3, 0, title, sizeof title, 0);
    const double wall = wall_seconds() - wall0, cpu = cpu_seconds() - cpu0;
    const Memory after = memory();
    // the title's UTF-16 code units, so that runs can be told apart by what they read
    unsigned sum = 0;
    for (const wchar_t *c = title; result == fld_widestring && *c; ++c) sum = sum * 31 + static_cast<unsigned>(*c);
    std::printf("seconds=%.2f cpu=%.2f resident_before=%.1f peak_before=%.1f peak_after=%.1f growth=%.1f "
                "title=%s/%08x\n",
                wall, cpu, before.resident, before.peak, after.peak, after.peak - before.resident,
                result == fld_widestring ? "read" : "none", sum);
    FreeLibrary(lib);
    CoUninitialize();
    return result == fld_widestring ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], "write") == 0) return write_books(fs::u8path(argv[2]));
        if (argc == 5 && std::strcmp(argv[1], "read") == 0) return read_book(argv[2], argv[3], argv[4]);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tovrel_wine_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: %s write DIR | read DLL TINY BOOK\n", argv[0]);
    return 2;
}
