#include "FB2_Content.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "codepage.h"
#include "filename.h"

// ---- cache

const FB2TitleInfo &TitleCache::lookup_or_create(std::u16string_view name) {
    std::u16string scratch;
    const std::u16string_view key = filename::key(name, scratch);
    {
        std::shared_lock read(lock_);
        if (auto it = map_.find(key); it != map_.end()) return *it->second;
    }
    // the read, outside the lock and by the name as given; throws on failure, whose message no host
    // sees, so the verdict alone
    auto info = std::make_unique<FB2TitleInfo>(std::u16string(name), false);
    std::unique_lock write(lock_);
    // another thread may have stored this name meanwhile: keep its record, drop ours
    auto [it, inserted] = map_.try_emplace(std::u16string(key), std::move(info));
    return *it->second;
}

size_t TitleCache::size() const {
    std::shared_lock read(lock_);
    return map_.size();
}

namespace {

// Owned by module_start and module_stop alone. No static destructor may free it: a Windows DLL's
// runtime runs those at process exit too, when DllMain leaves the cache to the system on purpose.
std::atomic<TitleCache *> title_cache{nullptr};

// Calls of the value entry points under way. At process exit a POSIX system runs the library's
// teardown while the host's other threads go on: a call that is inside then keeps everything it may
// touch. A call counts itself before it looks at the cache, and the teardown takes the cache away
// before it counts them (both sequentially consistent): either the teardown sees the call and frees
// nothing, or the call finds no cache and touches nothing.
std::atomic<int> calls{0};

struct Call {
    Call() { ++calls; }
    ~Call() { --calls; }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
};

void copy_ansi(char *dst, const char *src, int32_t size) {
    const size_t n = std::min(std::strlen(src), static_cast<size_t>(size) - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

bool is_high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

char16_t unit_at(std::span<const std::byte> block, size_t k) {
    return static_cast<char16_t>(std::to_integer<unsigned>(block[2 * k]) |
                                 std::to_integer<unsigned>(block[2 * k + 1]) << 8);
}

// Units of a stored text (without its NUL) that fit a host buffer of size bytes together with the
// NUL; a cut never leaves the high half of a surrogate pair at the end. -1: not even the NUL fits.
ptrdiff_t wide_fit(std::span<const std::byte> text, int32_t size) {
    if (size < 2) return -1;
    const size_t units = text.size() / 2 - 1;
    size_t n = std::min(units, static_cast<size_t>(size) / 2 - 1);
    if (n < units && n > 0 && is_high_surrogate(unit_at(text, n - 1))) --n;
    return static_cast<ptrdiff_t>(n);
}

// the record for a host's file name, within a Call; throws when the file cannot be read
const FB2TitleInfo *lookup(std::u16string_view name) {
    TitleCache *const cache = title_cache.load();
    if (!cache) return nullptr; // not loaded, or being unloaded
    return &cache->lookup_or_create(name);
}

std::u16string_view wide_name(const tovrel_wchar *FileName) {
    size_t n = 0;
    while (FileName[n]) ++n;
    return {reinterpret_cast<const char16_t *>(FileName), n};
}

} // namespace

bool module_start() noexcept {
    if (title_cache.load()) return true;
    TitleCache *cache = nullptr;
    try {
        cache = new TitleCache;
    } catch (...) {
        return false;
    }
    title_cache.store(cache);
    return true;
}

void module_stop() noexcept {
    TitleCache *const cache = title_cache.exchange(nullptr);
    if (calls.load() != 0) return; // a call is inside: leave it all to the system
    delete cache;
    release_read_caches();
}

// ---- exports: each checks its arguments, and no exception leaves it

extern "C" {

int32_t TOVREL_CALL ContentGetSupportedField(int32_t FieldIdx, char *NameBuf, char *UnitsBuf, int32_t BufSize) {
    if (FieldIdx < 0 || FieldIdx >= ContentFieldCount) return fld_nomore;
    const ContentField &field = ContentFields[FieldIdx];
    // no room: nothing written, but the field is there all the same
    if (NameBuf && UnitsBuf && BufSize > 0) {
        copy_ansi(NameBuf, field.f_name, BufSize);
        copy_ansi(UnitsBuf, field.f_unit, BufSize);
    }
    return field.f_type;
}

void TOVREL_CALL ContentGetDetectString(char *DetectBuf, int32_t BufSize) {
    if (!DetectBuf || BufSize <= 0) return;
    copy_ansi(DetectBuf, "EXT=\"FB2\"", BufSize);
}

int32_t TOVREL_CALL ContentGetValueW(const tovrel_wchar *FileName, int32_t FieldIdx, int32_t, void *ValueBuf,
                                     int32_t BufSize, int32_t) {
    if (!FileName) return fld_empty;
    const Call call;
    try {
        // the file is read and cached before the index is looked at, even a bad index
        const FB2TitleInfo *info = lookup(wide_name(FileName));
        if (!info) return fld_empty;
        const auto value = info->GetFieldData(FieldIdx);
        if (value.empty() || !ValueBuf) return fld_empty;
        const int32_t type = ContentFields[FieldIdx].f_type;
        auto *out = static_cast<std::byte *>(ValueBuf);
        if (type == fld_numeric32) {
            if (BufSize < 4) return fld_empty;
            std::memcpy(out, value.data(), 4);
            return type;
        }
        const ptrdiff_t n = wide_fit(value, BufSize);
        if (n < 0) return fld_empty;
        std::memcpy(out, value.data(), static_cast<size_t>(n) * 2);
        out[2 * n] = out[2 * n + 1] = std::byte{0};
        return type;
    } catch (...) {
        return fld_empty;
    }
}

int32_t TOVREL_CALL ContentGetValue(const char *FileName, int32_t FieldIdx, int32_t, void *ValueBuf, int32_t BufSize,
                                    int32_t) {
    if (!FileName) return fld_empty;
    const Call call;
    try {
        const std::u16string name = codepage::widen(FileName);
        if (!filename::names_the_same_file(FileName, name)) return fld_empty;
        const FB2TitleInfo *info = lookup(name);
        if (!info) return fld_empty;
        const auto value = info->GetFieldData(FieldIdx);
        if (value.empty() || !ValueBuf) return fld_empty;
        auto *out = static_cast<char *>(ValueBuf);
        if (ContentFields[FieldIdx].f_type == fld_numeric32) {
            if (BufSize < 4) return fld_empty;
            std::memcpy(out, value.data(), 4);
            return fld_numeric32;
        }
        // the text as the wide entry point would give it in BufSize bytes, then narrowed and cut
        // again to BufSize - 1 bytes without splitting a character
        const ptrdiff_t n = wide_fit(value, BufSize);
        if (n < 0) return fld_empty;
        std::u16string text(static_cast<size_t>(n), u'\0');
        for (size_t k = 0; k < text.size(); ++k) text[k] = unit_at(value, k);
        const std::string ansi = codepage::narrow(text);
        const size_t bytes = codepage::fit(ansi, static_cast<size_t>(BufSize) - 1);
        std::memcpy(out, ansi.data(), bytes);
        out[bytes] = '\0';
        return fld_string;
    } catch (...) {
        return fld_empty;
    }
}

} // extern "C"
