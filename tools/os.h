// What fb2cols needs from the system, one source per platform: names, folders, libraries, terminals,
// threads. The rest of the tool is the same everywhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace os {

namespace fs = std::filesystem;

// ---- names

// a name as the user sees it: UTF-8, with U+FFFD for what has no character (a byte that is not
// UTF-8 on POSIX, an unpaired surrogate on Windows)
std::string shown(const fs::path &p);
// an argument as text, for options
std::string arg_text(const fs::path::string_type &a);
// a name from a list of names (--files-from): its bytes on POSIX, UTF-8 on Windows
fs::path path_from_list(std::string_view name);
// a file name in the form that tells files apart: as it is on POSIX, its letters in one case on Windows
std::string name_key(const fs::path &file_name);
// the name in the two forms the exports take: UTF-16, and the ANSI code page (UTF-8 on POSIX)
std::u16string utf16_name(const fs::path &p);
std::string ansi_name(const fs::path &p);
// false when the exports cannot be given the name at all: on POSIX, a name that is not UTF-8
bool name_fits_exports(const fs::path &p);
// false when the ANSI code page cannot hold the name (Windows): ContentGetValue would be given another
bool ansi_holds(const fs::path &p);
// text the plug-in wrote in the ANSI code page, as UTF-8
std::string ansi_to_utf8(std::string_view s);
// UTF-16 text as a host gets it through ContentGetValue: narrowed to the ANSI code page, back in UTF-8
std::string through_ansi(std::u16string_view text);

// ---- files and folders

enum class Kind {
    file,          // a regular file (or, on Windows, anything that is not a folder)
    folder,
    linked_folder, // a symbolic link, junction or other reparse point to a folder: never entered
    vanished,      // listed, yet gone (or a dangling link) when looked at
    other,         // a FIFO, socket or device
};

struct Entry {
    fs::path path; // the folder joined with the name
    Kind kind = Kind::other;
    uint64_t size = 0; // files only
};

// the entries of a folder, "." and ".." left out, in no particular order; on failure, ec says why
// and the entries read so far are kept
std::vector<Entry> list_folder(const fs::path &dir, std::error_code &ec);

// what a name given on the command line is, links followed; ec set when it cannot be looked at
Entry look_at(const fs::path &p, std::error_code &ec);

// the identity of a folder: device and inode on POSIX, volume serial and file id on Windows
struct FolderId {
    uint64_t volume = 0, file = 0;
    auto operator<=>(const FolderId &) const = default;
};
std::optional<FolderId> folder_id(const fs::path &dir);

// the message of an error code, as UTF-8 without a trailing full stop
std::string message(const std::error_code &ec);

// the target of a symbolic link whose target is not there; nothing for any other name
std::optional<std::string> dangling_link(const fs::path &p);

// ---- files fb2cols reads itself: archives, and books whose names the exports cannot take

// why a file could not be opened or read, in a few words
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A regular file, open for reading at any offset from any thread, closed with this object.
class File {
public:
    explicit File(const fs::path &p); // throws FileError
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    uint64_t size() const { return size_; }
    // up to n bytes at offset, fewer only where the file ends; throws FileError
    size_t read_at(uint64_t offset, void *buf, size_t n) const;

private:
    intptr_t handle_;
    uint64_t size_ = 0;
};

// all of a list of names: the file's bytes, or standard input's for "-"; throws FileError
std::string read_list(const fs::path &p);

// ---- the plug-in library

// ends the run with status 2 and a one-line message
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using AnyProc = void (*)();

class Library {
public:
    explicit Library(const fs::path &file); // throws UsageError
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    AnyProc symbol(const char *name) const;

private:
    void *handle_;
};

// the folder of the running program
fs::path exe_dir(const char *argv0);

// where to look for the plug-in when none is named, in order
std::vector<fs::path> plugin_places(const fs::path &exe_folder, const char *file_name);

// ---- terminals and threads

bool is_terminal(FILE *f);
// the width of the terminal f writes to, when the system can tell
std::optional<size_t> terminal_width(FILE *f);

// the cores this process may run on
unsigned usable_cores();

// The cells the progress line takes on standard error now (0: none). An interrupt (SIGINT or SIGTERM;
// Ctrl+C or a closed console on Windows) blanks them, then ends the process as the signal would have.
void progress_shown(size_t cells);

// The host's side of COM for the calling thread (Windows; nothing elsewhere): the reader drives a COM
// object on the thread that asks, and never sets COM up itself, so every thread that asks holds one.
class ThreadScope {
public:
    ThreadScope();
    ~ThreadScope();
    ThreadScope(const ThreadScope &) = delete;
    ThreadScope &operator=(const ThreadScope &) = delete;

private:
    [[maybe_unused]] bool initialised_ = false;
};

// The process's start and end: the wide command line, a console switched to UTF-8 output and given
// back its own code page at the end, the handlers that keep an interrupt from leaving a progress line
// (or another code page) behind.
class Process {
public:
    Process(int argc, char **argv);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    std::vector<fs::path::string_type> args;
};

} // namespace os
