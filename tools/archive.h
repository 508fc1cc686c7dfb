// Books packed in zip archives and gzip files: a zip archive's directory (ZIP64 included), and the bytes
// of a member or of a gzip file, inflated with zlib. An archive may lie: every offset and size is
// checked against the file before it is used, and nothing is inflated past the size declared for it
// nor past a limit, so memory stays bounded whatever the archive says.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "os.h"

namespace archive {

// what is wrong with an archive or a member, in words for the why column
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Member {
    std::string name;    // as stored, folders joined with '/'; UTF-8 where the archive says so
    uint64_t header = 0; // where its local header is
    uint64_t packed = 0, size = 0;
    uint32_t crc = 0;
    uint16_t method = 0, flags = 0;
};

// the files a zip archive's directory lists, in its order; throws Error, os::FileError
std::vector<Member> directory(const os::File &zip);

// a member's bytes, or a gzip file's: never more than limit bytes in memory; throws Error, os::FileError
std::string unzip(const os::File &zip, const Member &member, uint64_t limit);
std::string gunzip(const os::File &gz, uint64_t limit);
// the bytes of a file that is not packed, within the same limit
std::string whole(const os::File &f, uint64_t limit);

// the most fb2cols unpacks of one book: all it holds of it, as the reader takes bytes in one piece
inline constexpr uint64_t book_limit = sizeof(void *) >= 8 ? uint64_t{1} << 30 : uint64_t{1} << 28;

// "a zip archive" or "gzip-compressed" for the first bytes of such a file; empty for any other
std::string_view packed_kind(std::string_view head);

} // namespace archive
