// Numbers and signatures shared with the file-manager host.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// result and type codes; the library produces these and no others
enum {
    fld_nomore = 0,      // no field at this index: the field list ends
    fld_numeric32 = 1,   // 4 bytes, little-endian signed
    fld_string = 8,      // NUL-terminated text in the ANSI code page
    fld_widestring = 11, // NUL-terminated UTF-16 text
    fld_empty = -3       // no value for this file and field
};

// the host's calling convention: stdcall on 32-bit Windows, the C one elsewhere
#if defined(_WIN32) && !defined(_WIN64)
#define TOVREL_CALL __stdcall
#else
#define TOVREL_CALL
#endif

// a UTF-16 code unit as the host passes it: WCHAR on Windows
#ifdef _WIN32
typedef wchar_t tovrel_wchar;
#else
typedef char16_t tovrel_wchar;
#endif

// the four exports, as a host looks them up
typedef int32_t(TOVREL_CALL *ContentGetSupportedFieldProc)(int32_t FieldIdx, char *NameBuf, char *UnitsBuf,
                                                            int32_t BufSize);
typedef void(TOVREL_CALL *ContentGetDetectStringProc)(char *DetectBuf, int32_t BufSize);
typedef int32_t(TOVREL_CALL *ContentGetValueWProc)(const tovrel_wchar *FileName, int32_t FieldIdx, int32_t UnitIdx,
                                                    void *ValueBuf, int32_t BufSize, int32_t Flags);
typedef int32_t(TOVREL_CALL *ContentGetValueProc)(const char *FileName, int32_t FieldIdx, int32_t UnitIdx,
                                                   void *ValueBuf, int32_t BufSize, int32_t Flags);

#ifdef __cplusplus
}
#endif
