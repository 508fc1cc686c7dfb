// Helpers shared by the suites: scratch folders, files written on the fly, the corpus location.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace support {

// a fresh folder under the system's temporary folder, removed with everything in it at destruction
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    // writes bytes to name inside the folder and returns the full path
    std::filesystem::path write(const std::string &name, std::string_view bytes) const;

private:
    std::filesystem::path path_;
};

// a path as UTF-16, the form the reader takes
std::u16string wide(const std::filesystem::path &p);

// the real-book corpus beside the checkout, or an empty path when it is not there
std::filesystem::path corpus_dir();

// the project's own example books
std::filesystem::path examples_dir();

// With TOVREL_TRANSCRIPT_DIR set, appends a line to the running test's transcript there, so that two
// runs (against two builds of a library, say) can be compared line by line; otherwise does nothing.
void record(const std::string &line);

} // namespace support
