#include "plugin_host.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#ifdef _WIN32
#include <objbase.h>
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace fs = std::filesystem;

namespace plugin_host {

fs::path plugin_path() {
    if (const char *env = std::getenv("TOVREL_PLUGIN"); env && *env) return fs::path(env);
#ifdef TOVREL_PLUGIN_DEFAULT
    return fs::path(TOVREL_PLUGIN_DEFAULT);
#else
    return {};
#endif
}

namespace {

#ifdef _WIN32

void *load(const fs::path &path, std::string &error) {
    HMODULE h = LoadLibraryW(path.c_str());
    if (!h) error = "LoadLibraryW failed with error " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(h);
}

void *symbol(void *handle, const char *name) {
    // through a plain function pointer type: FARPROC to data pointer is not a cast the compiler likes
    auto proc = reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(handle), name));
    return reinterpret_cast<void *>(proc);
}

void unload(void *handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

#else

void *load(const fs::path &path, std::string &error) {
    // local binding, as a host does: the library's symbols must not leak into the process
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char *why = dlerror();
        error = why ? why : "dlopen failed";
    }
    return h;
}

void *symbol(void *handle, const char *name) { return dlsym(handle, name); }

void unload(void *handle) { dlclose(handle); }

#endif

template <class Proc> void resolve(void *handle, const char *name, Proc &out) {
    void *p = symbol(handle, name);
    if (!p) throw std::runtime_error(std::string("the library does not export ") + name);
    out = reinterpret_cast<Proc>(p);
}

} // namespace

Library::Library(fs::path path) : path_(std::move(path)) { open(); }

Library::~Library() { close(); }

void Library::open() {
    if (path_.empty()) throw std::runtime_error("no library to load: set TOVREL_PLUGIN to the built library");
    std::string error;
    handle_ = load(path_, error);
    if (!handle_) throw std::runtime_error("cannot load " + path_.string() + ": " + error);
    try {
        resolve(handle_, "ContentGetSupportedField", ContentGetSupportedField);
        resolve(handle_, "ContentGetDetectString", ContentGetDetectString);
        resolve(handle_, "ContentGetValueW", ContentGetValueW);
        resolve(handle_, "ContentGetValue", ContentGetValue);
    } catch (...) {
        close();
        throw;
    }
}

void Library::close() {
    if (handle_) unload(handle_);
    handle_ = nullptr;
    ContentGetSupportedField = nullptr;
    ContentGetDetectString = nullptr;
    ContentGetValueW = nullptr;
    ContentGetValue = nullptr;
}

void Library::reload() {
    close();
    open();
}

#ifdef _WIN32
ThreadScope::ThreadScope() { initialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }

ThreadScope::~ThreadScope() {
    if (initialised_) CoUninitialize();
}
#else
ThreadScope::ThreadScope() = default;
ThreadScope::~ThreadScope() = default;
#endif

std::basic_string<tovrel_wchar> wide_name(const fs::path &p) {
#ifdef _WIN32
    return p.wstring();
#else
    return p.u16string();
#endif
}

std::string ansi_name(const fs::path &p) { return p.string(); }

HostBuffer::HostBuffer(int32_t size)
    : size_(size), storage_(2 * guard_size + static_cast<size_t>(std::max<int32_t>(size, 0)), fill) {
    std::fill_n(storage_.begin(), guard_size, guard);
    std::fill_n(storage_.end() - guard_size, guard_size, guard);
}

bool HostBuffer::guards_intact() const {
    const auto is_guard = [](std::byte b) { return b == guard; };
    return std::all_of(storage_.begin(), storage_.begin() + guard_size, is_guard) &&
           std::all_of(storage_.end() - guard_size, storage_.end(), is_guard);
}

bool HostBuffer::untouched() const { return rest_untouched(0); }

std::vector<std::byte> HostBuffer::head(size_t n) const {
    const auto begin = storage_.begin() + guard_size;
    return {begin, begin + static_cast<ptrdiff_t>(std::min(n, static_cast<size_t>(std::max<int32_t>(size_, 0))))};
}

bool HostBuffer::rest_untouched(size_t from) const {
    const auto begin = storage_.begin() + guard_size;
    const auto end = storage_.end() - guard_size;
    if (static_cast<ptrdiff_t>(from) >= end - begin) return true;
    return std::all_of(begin + static_cast<ptrdiff_t>(from), end, [](std::byte b) { return b == fill; });
}

} // namespace plugin_host
