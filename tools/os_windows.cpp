#include "os.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "text.h"
#include "unicode.h"

namespace os {

namespace {

std::u16string units(std::wstring_view w) { return std::u16string(w.begin(), w.end()); }

std::string utf8(std::wstring_view w) { return text::from_utf16(units(w)); }

std::u16string from_ansi(std::string_view a) {
    if (a.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, a.data(), static_cast<int>(a.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, a.data(), static_cast<int>(a.size()), w.data(), n);
    return units(w);
}

std::string to_ansi(std::wstring_view w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string a(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), a.data(), n, nullptr, nullptr);
    return a;
}

std::string system_message(DWORD code) {
    wchar_t *msg = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&msg), 0, nullptr);
    std::string s = n ? utf8(std::wstring_view(msg, n)) : "error " + std::to_string(code);
    if (msg) LocalFree(msg);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s;
}

std::error_code last_error() { return {static_cast<int>(GetLastError()), std::system_category()}; }

Kind kind_of(DWORD attributes) {
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Kind::file;
    // a junction, a folder link or a mount point: is_symlink() does not see them in this runtime
    return attributes & FILE_ATTRIBUTE_REPARSE_POINT ? Kind::linked_folder : Kind::folder;
}

} // namespace

// one separator throughout: "books/x" joined with a name reads books\x\name
std::string shown(const fs::path &p) { return utf8(fs::path(p).make_preferred().native()); }
std::string arg_text(const fs::path::string_type &a) { return utf8(a); }
fs::path path_from_list(std::string_view name) {
    const std::u16string wide = unicode::utf8_to_utf16(name);
    return fs::path(std::wstring(wide.begin(), wide.end()));
}
// the file system's own folding is close to the invariant upper case; names that differ otherwise are rare
std::string name_key(const fs::path &file_name) {
    std::wstring w = file_name.native();
    if (!w.empty())
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, file_name.c_str(), static_cast<int>(w.size()), w.data(),
                     static_cast<int>(w.size()));
    return utf8(w);
}
std::u16string utf16_name(const fs::path &p) { return units(p.native()); }
std::string ansi_name(const fs::path &p) { return to_ansi(p.native()); }
// ContentGetValueW takes any UTF-16, unpaired surrogates included
bool name_fits_exports(const fs::path &) { return true; }
// a character the code page lacks becomes its stand-in, which widens to another character
bool ansi_holds(const fs::path &p) { return from_ansi(to_ansi(p.native())) == units(p.native()); }
std::string ansi_to_utf8(std::string_view s) { return unicode::utf16_to_utf8(from_ansi(s)); }
std::string through_ansi(std::u16string_view text) {
    return ansi_to_utf8(to_ansi(std::wstring_view(reinterpret_cast<const wchar_t *>(text.data()), text.size())));
}

std::vector<Entry> list_folder(const fs::path &dir, std::error_code &ec) {
    ec.clear();
    std::vector<Entry> out;
    std::wstring pattern = dir.native();
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/' && pattern.back() != L':')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW data;
    const HANDLE find =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        // an empty folder lists "." at least; a drive root may list nothing at all
        if (GetLastError() != ERROR_FILE_NOT_FOUND) ec = last_error();
        return out;
    }
    do {
        const std::wstring_view name(data.cFileName);
        if (name == L"." || name == L"..") continue;
        Entry entry{dir / fs::path(std::wstring(name))};
        entry.kind = kind_of(data.dwFileAttributes);
        if (entry.kind == Kind::file)
            entry.size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
        out.push_back(std::move(entry));
    } while (FindNextFileW(find, &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) ec = last_error();
    FindClose(find);
    return out;
}

Entry look_at(const fs::path &p, std::error_code &ec) {
    ec.clear();
    Entry entry{p};
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME;
        ec = missing ? std::make_error_code(std::errc::no_such_file_or_directory)
                     : std::error_code(static_cast<int>(code), std::system_category());
        entry.kind = Kind::vanished;
        return entry;
    }
    // named on the command line, a linked folder is entered: the user asked for it
    entry.kind = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? Kind::folder : Kind::file;
    if (entry.kind == Kind::file) entry.size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return entry;
}

std::optional<FolderId> folder_id(const fs::path &dir) {
    const HANDLE h = CreateFileW(dir.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return std::nullopt;
    return FolderId{info.dwVolumeSerialNumber, static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

std::string message(const std::error_code &ec) {
    if (ec.category() == std::system_category()) return system_message(static_cast<DWORD>(ec.value()));
    std::string s = text::valid_utf8(ec.message());
    while (!s.empty() && (s.back() == '.' || s.back() == ' ')) s.pop_back();
    return s;
}

std::optional<std::string> dangling_link(const fs::path &p) {
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return std::nullopt;
    // the link is there; what it leads to is not
    const HANDLE h = CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return std::nullopt;
    }
    std::error_code ec;
    const fs::path target = fs::read_symlink(p, ec);
    return ec ? std::string() : shown(target);
}

namespace {

[[noreturn]] void file_fault(DWORD code) {
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME)
        throw FileError("no such file or folder");
    if (code == ERROR_ACCESS_DENIED) throw FileError("permission denied");
    throw FileError(system_message(code));
}

} // namespace

File::File(const fs::path &p) {
    const HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) file_fault(GetLastError());
    handle_ = reinterpret_cast<intptr_t>(h);
    LARGE_INTEGER size{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size) || size.QuadPart < 0) {
        CloseHandle(h);
        throw FileError("not a regular file");
    }
    size_ = static_cast<uint64_t>(size.QuadPart);
}

File::~File() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

size_t File::read_at(uint64_t offset, void *buf, size_t n) const {
    size_t done = 0;
    while (done < n) {
        OVERLAPPED at{};
        const uint64_t from = offset + done;
        at.Offset = static_cast<DWORD>(from);
        at.OffsetHigh = static_cast<DWORD>(from >> 32);
        const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), static_cast<char *>(buf) + done, want, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            file_fault(GetLastError());
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

std::string read_list(const fs::path &p) {
    const bool standard_input = p == "-";
    FILE *f = standard_input ? stdin : _wfopen(p.c_str(), L"rb");
    if (!f) {
        if (errno == ENOENT) throw FileError("no such file or folder");
        throw FileError(errno == EACCES ? "permission denied" : text::valid_utf8(std::strerror(errno)));
    }
    if (standard_input) _setmode(_fileno(stdin), _O_BINARY);
    std::string all;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) all.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    if (!standard_input) std::fclose(f);
    if (failed) throw FileError("cannot read the list");
    return all;
}

Library::Library(const fs::path &file) {
    handle_ = LoadLibraryW(file.c_str());
    if (!handle_) throw UsageError("cannot load plug-in " + shown(file) + ": " + system_message(GetLastError()));
}

Library::~Library() { FreeLibrary(static_cast<HMODULE>(handle_)); }

AnyProc Library::symbol(const char *name) const {
    return reinterpret_cast<AnyProc>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

fs::path exe_dir(const char *) {
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    buf.resize(n);
    return fs::path(buf).parent_path();
}

std::vector<fs::path> plugin_places(const fs::path &exe_folder, const char *file_name) {
    return {exe_folder / file_name};
}

// a console, not just a character device: _isatty() says yes to NUL too
bool is_terminal(FILE *f) {
    DWORD mode;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), &mode) != 0;
}

std::optional<size_t> terminal_width(FILE *f) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), &info)) return std::nullopt;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    if (width <= 0) return std::nullopt;
    return static_cast<size_t>(width);
}

unsigned usable_cores() {
    DWORD_PTR process = 0, system = 0;
    unsigned n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process; process &= process - 1) ++n;
    if (n) return n;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
}

ThreadScope::ThreadScope() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ThreadScope::~ThreadScope() {
    if (initialised_) CoUninitialize();
}

namespace {

// the console's own output code page, given back at the end; 0: it was not changed
std::atomic<UINT> saved_output_cp{0};

void restore_console() {
    if (const UINT cp = saved_output_cp.exchange(0)) SetConsoleOutputCP(cp);
}

std::atomic<size_t> progress_cells{0};

// Ctrl+C and a closed window end the process without running destructors (on a thread of the
// system's own, while the others go on)
BOOL WINAPI on_console_event(DWORD) {
    if (size_t n = progress_cells.exchange(0)) {
        const std::string blank = "\r" + std::string(n, ' ') + "\r";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), blank.data(), static_cast<DWORD>(blank.size()), &written, nullptr);
    }
    restore_console();
    return FALSE; // the default handler ends the process, with the status of Ctrl+C
}

// the main thread's COM, for reads on it (-j 1)
bool main_com = false;

} // namespace

void progress_shown(size_t cells) { progress_cells = cells; }

Process::Process(int, char **) {
    // the wide command line: names outside the ANSI code page survive
    int wargc = 0;
    if (wchar_t **wargv = CommandLineToArgvW(GetCommandLineW(), &wargc)) {
        args.assign(wargv + (wargc > 0 ? 1 : 0), wargv + wargc);
        LocalFree(wargv);
    }
    // the same bytes on every platform; a console shows them as UTF-8
    _setmode(_fileno(stdout), _O_BINARY);
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        const UINT cp = GetConsoleOutputCP();
        if (cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) saved_output_cp = cp;
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);
    main_com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
}

Process::~Process() {
    std::fflush(stdout);
    std::fflush(stderr);
    restore_console();
    if (main_com) CoUninitialize();
}

} // namespace os
