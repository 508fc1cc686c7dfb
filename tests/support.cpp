#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

long long process_id() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

} // namespace

namespace support {

TempDir::TempDir() {
    // CTest runs every case in a process of its own, several at once: the pid and a random part keep
    // their folders apart, and a folder that already exists is never taken over
    static std::atomic<unsigned> counter{0};
    static const unsigned long long salt = [] {
        std::random_device device;
        return static_cast<unsigned long long>(device()) << 32 | device();
    }();
    for (;;) {
        path_ = fs::temp_directory_path() / ("tovrel-test-" + std::to_string(process_id()) + "-" +
                                             std::to_string(salt) + "-" + std::to_string(counter.fetch_add(1)));
        if (fs::create_directories(path_)) return;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path TempDir::write(const std::string &name, std::string_view bytes) const {
    const fs::path p = path_ / fs::u8path(name);
    std::ofstream out(p, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
    return p;
}

std::u16string wide(const fs::path &p) { return p.u16string(); }

fs::path corpus_dir() {
    const fs::path dir = fs::u8path(TOVREL_CORPUS_DIR);
    std::error_code ec;
    return fs::is_directory(dir, ec) ? dir : fs::path();
}

fs::path examples_dir() { return fs::u8path(TOVREL_SOURCE_DIR) / "examples" / "books"; }

} // namespace support

namespace support {

void record(const std::string &line) {
    const char *dir = std::getenv("TOVREL_TRANSCRIPT_DIR");
    const auto *test = testing::UnitTest::GetInstance()->current_test_info();
    if (!dir || !*dir || !test) return;
    const fs::path file = fs::u8path(dir) / (std::string(test->test_suite_name()) + "." + test->name() + ".txt");
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out << line << '\n';
}

bool under_wine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

std::filesystem::path host_path(std::string p) {
#ifdef _WIN32
    if (!p.empty() && p.front() == '/') {
        for (char &c : p)
            if (c == '/') c = '\\';
        p = "Z:" + p;
    }
#endif
    return std::filesystem::u8path(p);
}

} // namespace support
