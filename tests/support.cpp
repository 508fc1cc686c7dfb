#include "support.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace support {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = fs::temp_directory_path() /
            ("tovrel-test-" + std::to_string(stamp) + "-" + std::to_string(counter.fetch_add(1)));
    fs::create_directories(path_);
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
