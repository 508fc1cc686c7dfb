// The plug-in boundary: the four exports and the cache of books read so far.
#pragma once

#include <cstddef>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "FB2_Info.h"
#include "contplug.h"

// One record per file name, kept until the library is unloaded. Look-ups share the lock; a file is
// read outside it, and when two threads read the same new file the first record stored is kept,
// so a record handed out stays alive as long as the cache.
class TitleCache {
public:
    // the record for name, reading the file on the first request; throws the read's failure
    const FB2TitleInfo &lookup_or_create(std::u16string_view name);
    size_t size() const;

private:
    // look-ups by view: a hit allocates nothing
    struct KeyHash {
        using is_transparent = void;
        size_t operator()(std::u16string_view key) const noexcept { return std::hash<std::u16string_view>{}(key); }
    };

    mutable std::shared_mutex lock_;
    std::unordered_map<std::u16string, std::unique_ptr<FB2TitleInfo>, KeyHash, std::equal_to<>> map_;
};

// The library's load and unload: create the empty cache (false: no memory for it, and the library
// answers no value), and release it with every record and what reads keep from book to book. At
// unload with a value call still under way (a POSIX process exiting under the host's threads) it
// frees nothing.
bool module_start() noexcept;
void module_stop() noexcept;

#if defined(_WIN32)
#define TOVREL_EXPORT // the names and their decoration come from tovrel.def
#else
#define TOVREL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
TOVREL_EXPORT int32_t TOVREL_CALL ContentGetSupportedField(int32_t FieldIdx, char *NameBuf, char *UnitsBuf,
                                                           int32_t BufSize);
TOVREL_EXPORT void TOVREL_CALL ContentGetDetectString(char *DetectBuf, int32_t BufSize);
TOVREL_EXPORT int32_t TOVREL_CALL ContentGetValueW(const tovrel_wchar *FileName, int32_t FieldIdx, int32_t UnitIdx,
                                                   void *ValueBuf, int32_t BufSize, int32_t Flags);
TOVREL_EXPORT int32_t TOVREL_CALL ContentGetValue(const char *FileName, int32_t FieldIdx, int32_t UnitIdx,
                                                  void *ValueBuf, int32_t BufSize, int32_t Flags);
}
