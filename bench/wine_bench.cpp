// tovrel_wine_bench: books through a Windows DLL, under Wine or on Windows. One process per
// measurement, so each one's peak resident set is its own; bench/wine-bench.sh runs them all.
//
//   tovrel_wine_bench write DIR            writes DIR/huge.fb2 (four 75 MB images, the values first),
//                                          DIR/huge-stripped.fb2 (the same through the reach filter),
//                                          DIR/one-line.fb2 (a 75 MB image on one line) and DIR/tiny.fb2
//   tovrel_wine_bench read DLL TINY BOOK   loads DLL as a host does, reads TINY to settle, then BOOK
//   tovrel_wine_bench corpus DLL TINY DIR [unfiltered]
//                                          every book in DIR through the DLL (the six fields, a cold
//                                          read each), or through the document layer built in here
//                                          with the filter off
//
// read and corpus print one line of key=value: wall and CPU seconds, the resident set before, its
// high-water mark after (Wine takes both from the process's /proc status), the growth, and what was read.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "books.h"
#include "contplug.h"
#include "FB2_Info.h"
#include "query.h"
#include "reach_filter.h"
#include "upper_half.h"
#include "xmldoc.h"

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
    static const std::u16string_view queries[] = {u"/FictionBook/description/title-info/book-title"};
    const auto set = xmldoc::query_set(queries);
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    filter::ReachFilter filter(filter::Rules{&set->reach, filter::Columns::utf16_units, &xmldoc::upper_half});
    constexpr size_t piece = 1u << 20;
    std::vector<char> buf(filter::ReachFilter::max_held + piece);
    char *const at = buf.data() + filter::ReachFilter::max_held;
    for (;;) {
        in.read(at, piece);
        const auto got = static_cast<size_t>(in.gcount());
        const bool last = got < piece;
        const std::string_view given = filter.filter(at, got, last);
        out.write(given.data(), static_cast<std::streamsize>(given.size()));
        if (last) break;
    }
    if (!out) throw std::runtime_error("cannot write " + to.string());
}

int write_books(const fs::path &dir) {
    fs::create_directories(dir);
    std::fprintf(stderr, "writing %s...\n", (dir / "huge.fb2").string().c_str());
    books::write(dir / "huge.fb2", huge_shape());
    write_stripped(dir / "huge.fb2", dir / "huge-stripped.fb2");
    books::Shape one_line = huge_shape();
    one_line.images = 1;
    one_line.line_length = 0;
    books::write(dir / "one-line.fb2", one_line);
    books::write(dir / "tiny.fb2", books::Shape{books::Charset::utf8, 0, 0, 0, 42});
    for (const char *name : {"huge.fb2", "huge-stripped.fb2", "one-line.fb2", "tiny.fb2"})
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

// COM on the thread, as a host has it before it asks, and the DLL loaded; null ContentGetValueW when
// either fails
ContentGetValueWProc load(const char *dll, HMODULE &lib) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return nullptr;
    lib = LoadLibraryW(widen(dll).c_str());
    if (!lib) {
        std::fprintf(stderr, "cannot load %s\n", dll);
        return nullptr;
    }
    // through a plain function pointer: FARPROC takes no arguments
    return reinterpret_cast<ContentGetValueWProc>(reinterpret_cast<void (*)()>(GetProcAddress(lib, "ContentGetValueW")));
}

int read_book(const char *dll, const char *tiny, const char *book) {
    HMODULE lib = nullptr;
    const auto get = load(dll, lib);
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

// every book of a folder, cold, through the DLL's six fields, or through the document layer linked in
// here with the filter off (the same document object, given every byte)
int read_corpus(const char *dll, const char *tiny, const char *folder, bool unfiltered) {
    HMODULE lib = nullptr;
    const auto get = load(dll, lib);
    if (!get) return 1;
    std::vector<std::wstring> books;
    uint64_t bytes = 0;
    for (const auto &e : fs::directory_iterator(fs::u8path(folder)))
        if (e.path().extension() == ".fb2") {
            books.push_back(e.path().wstring());
            bytes += fs::file_size(e.path());
        }
    std::sort(books.begin(), books.end());
    std::vector<std::u16string_view> queries;
    for (const ContentField &f : ContentFields) queries.emplace_back(f.f_xpath);
    wchar_t value[512];
    get(widen(tiny).c_str(), 3, 0, value, sizeof value, 0); // the document object settles first
    const Memory before = memory();
    const double wall0 = wall_seconds(), cpu0 = cpu_seconds();
    int values = 0;
    for (const std::wstring &b : books) {
        if (unfiltered) {
            try {
                const std::u16string name(reinterpret_cast<const char16_t *>(b.c_str()), b.size());
                for (const xmldoc::Answer &a : xmldoc::first_children(name, queries, {.filter = xmldoc::Filter::none}))
                    values += a.child == xmldoc::Child::value;
            } catch (const std::exception &) {
            }
            continue;
        }
        for (int32_t field = 0; field < ContentFieldCount; ++field)
            values += get(b.c_str(), field, 0, value, sizeof value, 0) != fld_empty;
    }
    const double wall = wall_seconds() - wall0, cpu = cpu_seconds() - cpu0;
    const Memory after = memory();
    std::printf("seconds=%.3f cpu=%.3f books=%zu bytes=%llu growth=%.1f values=%d\n", wall, cpu, books.size(),
                static_cast<unsigned long long>(bytes), after.peak - before.resident, values);
    FreeLibrary(lib);
    CoUninitialize();
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], "write") == 0) return write_books(fs::u8path(argv[2]));
        if (argc == 5 && std::strcmp(argv[1], "read") == 0) return read_book(argv[2], argv[3], argv[4]);
        if ((argc == 5 || argc == 6) && std::strcmp(argv[1], "corpus") == 0)
            return read_corpus(argv[2], argv[3], argv[4], argc == 6 && std::strcmp(argv[5], "unfiltered") == 0);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tovrel_wine_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: %s write DIR | read DLL TINY BOOK | corpus DLL TINY DIR [unfiltered]\n", argv[0]);
    return 2;
}
