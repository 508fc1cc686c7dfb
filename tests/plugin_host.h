// A minimal host for the suites that drive the built library as a file manager does: load it by path,
// look up the four exports, unload and load again; plus host buffers that notice stray writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "contplug.h"

namespace plugin_host {

// the built library: $TOVREL_PLUGIN, else the path the build system compiled in; empty when neither is set
std::filesystem::path plugin_path();

// A loaded copy of the library with its four exports resolved. Throws std::runtime_error when the library
// cannot be loaded or lacks an export. Unloading for real needs every other handle to it closed too.
class Library {
public:
    explicit Library(std::filesystem::path path = plugin_path());
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    void close();
    // unload and load again: the library starts over with an empty cache
    void reload();
    bool loaded() const { return handle_ != nullptr; }
    const std::filesystem::path &path() const { return path_; }

    ContentGetSupportedFieldProc ContentGetSupportedField = nullptr;
    ContentGetDetectStringProc ContentGetDetectString = nullptr;
    ContentGetValueWProc ContentGetValueW = nullptr;
    ContentGetValueProc ContentGetValue = nullptr;

private:
    void open();

    std::filesystem::path path_;
    void *handle_ = nullptr;
};

// The host's side of COM for the calling thread: the library's Windows reader needs it and never sets it up
// itself, so every thread that asks for values holds one. Nothing to do elsewhere.
class ThreadScope {
public:
    ThreadScope();
    ~ThreadScope();
    ThreadScope(const ThreadScope &) = delete;
    ThreadScope &operator=(const ThreadScope &) = delete;

private:
    [[maybe_unused]] bool initialised_ = false; // used on Windows only
};

// the same for the main thread, for a whole run: testing::AddGlobalTestEnvironment(new plugin_host::MainThread)
class MainThread : public testing::Environment {
public:
    void SetUp() override { scope_.emplace(); }
    void TearDown() override { scope_.reset(); }

private:
    std::optional<ThreadScope> scope_;
};

// a file name as ContentGetValueW takes it, and as ContentGetValue takes it (the ANSI code page; UTF-8 on POSIX)
std::basic_string<tovrel_wchar> wide_name(const std::filesystem::path &p);
std::string ansi_name(const std::filesystem::path &p);

// A host buffer of `size` bytes (none when size <= 0) filled with a known byte, with guard bytes on both
// sides, so a test can tell what a call wrote and whether it wrote outside the buffer.
class HostBuffer {
public:
    static constexpr std::byte fill{0xA5};
    static constexpr std::byte guard{0x5A};
    static constexpr size_t guard_size = 32;

    explicit HostBuffer(int32_t size);

    void *data() { return storage_.data() + guard_size; }
    char *chars() { return reinterpret_cast<char *>(data()); }
    int32_t size() const { return size_; }

    bool guards_intact() const;
    // every byte still holds the fill: the call wrote nothing
    bool untouched() const;
    // the first n bytes of the buffer (n <= size)
    std::vector<std::byte> head(size_t n) const;
    // bytes from offset `from` to the end still hold the fill
    bool rest_untouched(size_t from) const;

private:
    int32_t size_;
    std::vector<std::byte> storage_;
};

} // namespace plugin_host
