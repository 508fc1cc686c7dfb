#include "os.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "text.h"
#include "unicode.h"

namespace os {

// the name's own bytes: every output escapes what is not UTF-8 in a form that gives them back
std::string shown(const fs::path &p) { return p.native(); }
std::string arg_text(const fs::path::string_type &a) { return text::valid_utf8(a); }
fs::path path_from_list(std::string_view name) { return fs::path(std::string(name)); }
std::string name_key(const fs::path &file_name) { return file_name.native(); }
// not path::u16string(): it throws on a name that is not UTF-8, where this widens with U+FFFD
std::u16string utf16_name(const fs::path &p) { return unicode::utf8_to_utf16(p.native()); }
// the ANSI code page is UTF-8 here: the name's own bytes
std::string ansi_name(const fs::path &p) { return p.native(); }
// both entry points take UTF-8 or UTF-16 here; other bytes would reach them as U+FFFD, another name
bool name_fits_exports(const fs::path &p) { return text::is_utf8(p.native()); }
bool ansi_holds(const fs::path &) { return true; }
std::string ansi_to_utf8(std::string_view s) { return text::valid_utf8(s); }
// the library narrows with the project's conversion (an unpaired surrogate as '?'), and this host reads
// what it gets as UTF-8
std::string through_ansi(std::u16string_view text) { return ansi_to_utf8(unicode::utf16_to_utf8(text)); }

namespace {

Kind kind_of(mode_t mode) {
    if (S_ISREG(mode)) return Kind::file;
    if (S_ISDIR(mode)) return Kind::folder;
    return Kind::other;
}

fs::path joined(const fs::path &dir, const char *name) { return dir / fs::path(name); }

} // namespace

std::vector<Entry> list_folder(const fs::path &dir, std::error_code &ec) {
    ec.clear();
    std::vector<Entry> out;
    DIR *d = opendir(dir.c_str());
    if (!d) {
        ec.assign(errno, std::generic_category());
        return out;
    }
    const int fd = dirfd(d);
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (!e) {
            if (errno) ec.assign(errno, std::generic_category());
            break;
        }
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        Entry entry{joined(dir, e->d_name)};
        struct stat st;
        // the link itself first: a link to a folder is never entered
        if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            entry.kind = Kind::vanished;
        } else if (S_ISLNK(st.st_mode)) {
            if (fstatat(fd, e->d_name, &st, 0) != 0) entry.kind = Kind::vanished;
            else entry.kind = S_ISDIR(st.st_mode) ? Kind::linked_folder : kind_of(st.st_mode);
        } else {
            entry.kind = kind_of(st.st_mode);
        }
        if (entry.kind == Kind::file) entry.size = static_cast<uint64_t>(st.st_size);
        out.push_back(std::move(entry));
    }
    closedir(d);
    return out;
}

Entry look_at(const fs::path &p, std::error_code &ec) {
    ec.clear();
    Entry entry{p};
    struct stat st;
    if (stat(p.c_str(), &st) != 0) {
        ec.assign(errno, std::generic_category());
        entry.kind = Kind::vanished;
        return entry;
    }
    entry.kind = kind_of(st.st_mode);
    if (entry.kind == Kind::file) entry.size = static_cast<uint64_t>(st.st_size);
    return entry;
}

std::optional<FolderId> folder_id(const fs::path &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return std::nullopt;
    return FolderId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

std::string message(const std::error_code &ec) {
    std::string s = text::valid_utf8(ec.message());
    while (!s.empty() && (s.back() == '.' || s.back() == ' ')) s.pop_back();
    return s;
}

std::optional<std::string> dangling_link(const fs::path &p) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) || stat(p.c_str(), &st) == 0 || errno != ENOENT)
        return std::nullopt;
    std::error_code ec;
    const fs::path target = fs::read_symlink(p, ec);
    return ec ? std::string() : target.native();
}

namespace {

[[noreturn]] void file_fault(int err) {
    // the words fb2cols uses elsewhere for the common cases, the system's for the rest
    if (err == ENOENT || err == ENOTDIR) throw FileError("no such file or folder");
    if (err == EACCES || err == EPERM) throw FileError("permission denied");
    throw FileError(message(std::error_code(err, std::generic_category())));
}

} // namespace

File::File(const fs::path &p) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer (it is refused below)
    const int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) file_fault(errno);
    handle_ = fd;
    struct stat st;
    if (fstat(fd, &st) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        const int err = errno;
        ::close(fd);
        file_fault(err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw FileError("not a regular file");
    }
    size_ = static_cast<uint64_t>(st.st_size);
}

File::~File() { ::close(static_cast<int>(handle_)); }

size_t File::read_at(uint64_t offset, void *buf, size_t n) const {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(static_cast<int>(handle_), static_cast<char *>(buf) + done, n - done,
                                  static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) file_fault(errno);
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

std::string read_list(const fs::path &p) {
    const bool standard_input = p == "-";
    // a pipe is fine here (--files-from <(find ...)): a list is read to its end, however it comes
    const int fd = standard_input ? 0 : ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) file_fault(errno);
    std::string all;
    char buf[65536];
    int err = 0;
    for (;;) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            err = r < 0 ? errno : 0;
            break;
        }
        all.append(buf, static_cast<size_t>(r));
    }
    if (!standard_input) ::close(fd);
    if (err) file_fault(err);
    return all;
}

Library::Library(const fs::path &file) {
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char *why = dlerror();
        throw UsageError("cannot load plug-in: " + text::valid_utf8(why ? why : shown(file)));
    }
}

Library::~Library() { dlclose(handle_); }

AnyProc Library::symbol(const char *name) const { return reinterpret_cast<AnyProc>(dlsym(handle_, name)); }

fs::path exe_dir(const char *argv0) {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) return self.parent_path();
    // no /proc: argv[0] holds the path when the tool was started by one
    if (argv0 && std::strchr(argv0, '/')) return fs::absolute(argv0, ec).parent_path();
    return fs::current_path(ec);
}

// beside the tool, then where the package puts it, relative to the tool (so an unpacked copy works
// as installed) and absolute (for a tool copied elsewhere)
std::vector<fs::path> plugin_places(const fs::path &exe_folder, const char *file_name) {
    return {exe_folder / file_name, exe_folder.parent_path() / "lib" / "tovrel" / file_name,
            fs::path("/usr/lib/tovrel") / file_name};
}

bool is_terminal(FILE *f) { return isatty(fileno(f)) != 0; }

std::optional<size_t> terminal_width(FILE *f) {
    winsize ws{};
    if (ioctl(fileno(f), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return std::nullopt;
}

unsigned usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

namespace {

// read by the handler, so lock-free: a handler may take no lock
std::atomic<size_t> progress_cells{0};
static_assert(std::atomic<size_t>::is_always_lock_free);

void write_all(const char *s, size_t n) {
    while (n) {
        const ssize_t r = ::write(2, s, n);
        if (r <= 0) return;
        s += r, n -= static_cast<size_t>(r);
    }
}

// only calls that are safe in a handler: write, signal, raise
void on_signal(int sig) {
    if (size_t n = progress_cells.exchange(0)) {
        static const char blanks[] = "                                                                ";
        write_all("\r", 1);
        for (; n; n -= std::min(n, sizeof blanks - 1)) write_all(blanks, std::min(n, sizeof blanks - 1));
        write_all("\r", 1);
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig); // the status a shell sees is the signal's
}

} // namespace

void progress_shown(size_t cells) { progress_cells = cells; }

ThreadScope::ThreadScope() = default;
ThreadScope::~ThreadScope() = default;

Process::Process(int argc, char **argv) {
    args.assign(argv + (argc > 0 ? 1 : 0), argv + argc);
    for (const int sig : {SIGINT, SIGTERM}) {
        struct sigaction now{}, before{};
        sigaction(sig, nullptr, &before);
        if (before.sa_handler == SIG_IGN) continue; // started to ignore it (in the background, say): so be it
        now.sa_handler = on_signal;
        sigemptyset(&now.sa_mask);
        sigaction(sig, &now, nullptr);
    }
}
Process::~Process() = default;

} // namespace os
