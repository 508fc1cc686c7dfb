#include "file.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "unicode.h"

namespace platform {

namespace {

HANDLE handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

HRESULT last_error() { return HRESULT_FROM_WIN32(GetLastError()); }

} // namespace

// the system's text, trailing white space and the closing period gone (it is quoted inside a longer
// message), else "OLE error" and the code
std::string system_text(long code) {
    wchar_t buffer[1024];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(code), 0, buffer, sizeof buffer / sizeof buffer[0], nullptr);
    std::u16string_view text(reinterpret_cast<const char16_t *>(buffer), n);
    while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.remove_suffix(1);
    if (!text.empty()) return unicode::utf16_to_utf8(text);
    char hex[32];
    std::snprintf(hex, sizeof hex, "OLE error %.8x", static_cast<unsigned>(code));
    return hex;
}

File::File(const std::u16string &name)
    : name_(unicode::utf16_to_utf8(name)), handle_(reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)) {
    const auto *wide = reinterpret_cast<const wchar_t *>(name.c_str());
    // a folder cannot be opened as a file at all; say what it is rather than "access denied"
    const DWORD attributes = GetFileAttributesW(wide);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw FileError(name_ + ": not a regular file", E_INVALIDARG);
    const HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail(last_error());
    // (a constructor that throws runs no destructor: the handle is closed here)
    const auto refuse = [file](FileError e) -> FileError {
        CloseHandle(file);
        return e;
    };
    if (GetFileType(file) != FILE_TYPE_DISK) throw refuse(FileError(name_ + ": not a regular file", E_INVALIDARG));
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        const HRESULT code = last_error();
        throw refuse(FileError(name_ + ": " + system_text(code), code));
    }
    handle_ = reinterpret_cast<intptr_t>(file);
    size_ = static_cast<uint64_t>(size.QuadPart);
}

File::~File() {
    if (handle(handle_) != INVALID_HANDLE_VALUE) CloseHandle(handle(handle_));
}

void File::fail(long code) const { throw FileError(name_ + ": " + system_text(code), code); }

size_t File::read(void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        DWORD part = 0;
        const auto want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
        if (!ReadFile(handle(handle_), static_cast<char *>(buf) + done, want, &part, nullptr)) fail(last_error());
        if (part == 0) break; // the end
        done += part;
    }
    return done;
}

void File::rewind() {
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(handle(handle_), zero, nullptr, FILE_BEGIN)) fail(last_error());
}

} // namespace platform
