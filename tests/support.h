// Helpers shared by the suites: scratch folders, files written on the fly, the corpus location.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <mutex>
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

// a path the build system wrote down: under Wine the cross build's Linux paths are on drive Z:
std::filesystem::path host_path(std::string p);

// the real-book corpus beside the checkout, or an empty path when it is not there
std::filesystem::path corpus_dir();

// the project's own example books
std::filesystem::path examples_dir();

// True inside Wine, whose document object answers some documents otherwise than Windows' own; false
// on Windows and on every other system.
bool under_wine();

// Releases threads together once all have arrived. Not std::latch: the MinGW build of GCC 12's
// library waits on an atomic by checking the value outside the lock it then sleeps under, so a
// thread can miss the last arrival and sleep for ever (the win32 suites hung on it under Wine).
class StartGate {
public:
    explicit StartGate(int count) : left_(count) {}
    void arrive_and_wait() {
        std::unique_lock lock(mutex_);
        if (--left_ <= 0) {
            open_.notify_all();
            return;
        }
        open_.wait(lock, [this] { return left_ <= 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable open_;
    int left_;
};

// With TOVREL_TRANSCRIPT_DIR set, appends a line to the running test's transcript there, so that two
// runs (against two builds of a library, say) can be compared line by line; otherwise does nothing.
void record(const std::string &line);

} // namespace support
