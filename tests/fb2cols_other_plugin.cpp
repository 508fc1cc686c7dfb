// A content plug-in of another kind, for the fb2cols tests: it offers fields of its own about text
// files, so the host is seen reading whatever a plug-in declares, not tovrel's six fields. Some
// answers are deliberately awkward: a type the host does not show, a text that fills the whole buffer
// with no terminator, no values at all for an empty file; and a file whose first line is "slow" takes
// a while to answer, so that a run lasts long enough to show its progress.
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "../plugin/contplug.h"

#ifdef _WIN32
#define OTHER_EXPORT extern "C" __declspec(dllexport)
#else
#define OTHER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr int32_t fld_boolean = 6; // a real field type that fb2cols does not show

struct Field {
    const char *name;
    int32_t type;
};
constexpr Field fields[] = {
    {"first_line", fld_widestring},
    {"lines", fld_numeric32},
    {"flag", fld_boolean},
    {"filler", fld_widestring},
};
constexpr int32_t field_count = 4;

// the file's lines; false when it cannot be opened (the tests name ASCII files only)
bool read_lines(const std::string &utf8_name, std::string &first, int32_t &count) {
    std::ifstream in(utf8_name);
    if (!in) return false;
    std::string line;
    count = 0;
    while (std::getline(in, line)) {
        if (count++ == 0) first = line;
    }
    return true;
}

std::string narrow(const tovrel_wchar *w) {
    std::string s;
    for (; *w; ++w) s += static_cast<char>(*w);
    return s;
}

int32_t value(const std::string &name, int32_t field, void *buf, int32_t size, bool wide) {
    std::string first;
    int32_t count = 0;
    // an empty file has no values at all, as a file that cannot be opened
    if (field < 0 || field >= field_count || !read_lines(name, first, count) || count == 0) return fld_empty;
    if (first == "slow") std::this_thread::sleep_for(std::chrono::milliseconds(25));
    auto *out = static_cast<unsigned char *>(buf);
    switch (field) {
    case 0:
        if (wide) {
            size_t n = 0;
            for (; n < first.size() && 2 * n + 2 < static_cast<size_t>(size); ++n) {
                out[2 * n] = static_cast<unsigned char>(first[n]);
                out[2 * n + 1] = 0;
            }
            out[2 * n] = out[2 * n + 1] = 0;
            return fld_widestring;
        }
        std::strncpy(static_cast<char *>(buf), first.c_str(), static_cast<size_t>(size) - 1);
        out[size - 1] = 0;
        return fld_string;
    case 1:
        std::memcpy(buf, &count, 4);
        return fld_numeric32;
    case 2:
        out[0] = 1;
        return fld_boolean;
    default:
        // the whole buffer of 'x', no NUL anywhere: the host must stop at the buffer's end
        if (!wide) {
            std::memset(buf, 'x', static_cast<size_t>(size));
            return fld_string;
        }
        for (int32_t k = 0; k + 1 < size; k += 2) out[k] = 'x', out[k + 1] = 0;
        return fld_widestring;
    }
}

} // namespace

OTHER_EXPORT int32_t TOVREL_CALL ContentGetSupportedField(int32_t FieldIdx, char *NameBuf, char *UnitsBuf,
                                                          int32_t BufSize) {
    if (FieldIdx < 0 || FieldIdx >= field_count || BufSize < 16) return fld_nomore;
    std::strcpy(NameBuf, fields[FieldIdx].name);
    UnitsBuf[0] = 0;
    return fields[FieldIdx].type;
}

OTHER_EXPORT void TOVREL_CALL ContentGetDetectString(char *DetectBuf, int32_t BufSize) {
    const char detect[] = "(EXT=\"TXT\" | EXT=\"MD\") & !EXT=\"FB2\"";
    if (BufSize > static_cast<int32_t>(sizeof detect)) std::memcpy(DetectBuf, detect, sizeof detect);
}

OTHER_EXPORT int32_t TOVREL_CALL ContentGetValueW(const tovrel_wchar *FileName, int32_t FieldIdx, int32_t,
                                                  void *ValueBuf, int32_t BufSize, int32_t) {
    return value(narrow(FileName), FieldIdx, ValueBuf, BufSize, true);
}

OTHER_EXPORT int32_t TOVREL_CALL ContentGetValue(const char *FileName, int32_t FieldIdx, int32_t, void *ValueBuf,
                                                 int32_t BufSize, int32_t) {
    return value(FileName, FieldIdx, ValueBuf, BufSize, false);
}
