#include "archive.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

#include "text.h"

namespace archive {

namespace {

constexpr uint32_t local_signature = 0x04034b50, central_signature = 0x02014b50, end_signature = 0x06054b50,
                   end64_signature = 0x06064b50, locator64_signature = 0x07064b50;
constexpr size_t end_size = 22, locator64_size = 20, end64_size = 56, central_size = 46, local_size = 30;
constexpr uint16_t zip64_extra = 0x0001, unicode_path_extra = 0x7075;
constexpr uint16_t flag_encrypted = 1, flag_utf8 = 1 << 11;

// (inflate counts in 32-bit units: a book within the limit is always one call's worth)
static_assert(book_limit < UINT_MAX);

uint16_t u16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const unsigned char *p) { return u16(p) | static_cast<uint32_t>(u16(p + 2)) << 16; }
uint64_t u64(const unsigned char *p) { return u32(p) | static_cast<uint64_t>(u32(p + 4)) << 32; }

const unsigned char *bytes(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

// exactly n bytes at offset; what the archive says is not there is its fault
std::string read_exactly(const os::File &f, uint64_t at, uint64_t n, const char *what) {
    if (at > f.size() || n > f.size() - at) throw Error(std::string(what) + " lies past the end of the archive");
    std::string out(static_cast<size_t>(n), '\0');
    if (f.read_at(at, out.data(), out.size()) != out.size())
        throw Error(std::string(what) + " lies past the end of the archive (it shrank while read)");
    return out;
}

// rounded up, and without overflow for a size near 2^64 that a ZIP64 field may claim
std::string megabytes(uint64_t n) { return text::grouped(n / 1000000 + (n % 1000000 != 0)) + " MB"; }

// A member's stored name: UTF-8 when its flag says so or Info-ZIP's Unicode path field names it,
// else its bytes as they are (the outputs escape what is not UTF-8).
std::string stored_name(std::string_view raw, bool utf8, std::string_view unicode_path) {
    // the field: a version (1), the CRC of the name it stands for, and that name in UTF-8
    if (!utf8 && unicode_path.size() > 5 && unicode_path[0] == 1 &&
        u32(reinterpret_cast<const unsigned char *>(unicode_path.data()) + 1) ==
            crc32_z(0, reinterpret_cast<const Bytef *>(raw.data()), raw.size()))
        return std::string(unicode_path.substr(5));
    return std::string(raw);
}

// One entry of the central directory at d[at], which has room for its fixed part; moves at past it.
Member entry(const std::string &d, size_t &at) {
    const unsigned char *p = bytes(d) + at;
    if (u32(p) != central_signature) throw Error("its directory is damaged (no entry where one should begin)");
    const size_t name = u16(p + 28), extra = u16(p + 30), comment = u16(p + 32);
    if (d.size() - at - central_size < name + extra + comment) throw Error("its directory is damaged (an entry runs past it)");
    Member m;
    m.flags = u16(p + 8);
    m.method = u16(p + 10);
    m.crc = u32(p + 16);
    m.packed = u32(p + 20);
    m.size = u32(p + 24);
    m.header = u32(p + 42);
    const std::string_view raw(d.data() + at + central_size, name);
    std::string_view unicode_path;
    // extra fields: an id, a length, that many bytes; ZIP64 gives the 64-bit values of the saturated ones
    for (size_t e = at + central_size + name, end = e + extra; end - e >= 4;) {
        const unsigned char *f = bytes(d) + e;
        const size_t length = u16(f + 2);
        if (end - e - 4 < length) break; // a truncated last field: what went before still stands
        if (u16(f) == zip64_extra) {
            size_t k = 4;
            for (uint64_t *v : {&m.size, &m.packed, &m.header}) {
                if (*v != 0xFFFFFFFF) continue;
                if (k + 8 > 4 + length) throw Error("its directory is damaged (a ZIP64 field is too short)");
                *v = u64(f + k);
                k += 8;
            }
        } else if (u16(f) == unicode_path_extra) {
            unicode_path = std::string_view(d.data() + e + 4, length);
        }
        e += 4 + length;
    }
    m.name = stored_name(raw, m.flags & flag_utf8, unicode_path);
    at += central_size + name + extra + comment;
    return m;
}

struct Inflater {
    z_stream z{};
    explicit Inflater(int window_bits) {
        if (inflateInit2(&z, window_bits) != Z_OK) throw std::bad_alloc();
    }
    ~Inflater() { inflateEnd(&z); }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;
};

// Inflates the stream of `packed` bytes at `from`, which `said_by` declares to unpack to `declared`
// bytes; returns what it unpacks to and, in taken, the input bytes the stream took. Never more room
// than the stream can fill: deflate makes at most 1,032 bytes of one, so a size that claims more than
// that takes no more, and neither does one past `limit`. Nor is a claim taken at its word up front:
// the output grows as it comes, so a damaged stream that claims a gigabyte costs what it unpacks to.
// The input is read a piece at a time.
std::string inflate_from(const os::File &f, uint64_t from, uint64_t packed, uint64_t declared, uint64_t limit,
                         int window_bits, const char *said_by, uint64_t &taken) {
    constexpr uint64_t most_per_byte = 1032;
    const uint64_t room = std::min({declared, limit, packed > (UINT64_MAX - 1024) / most_per_byte ? UINT64_MAX : packed * most_per_byte + 1024});
    // (a book packs to a quarter of itself or so: four times the packed bytes is mostly enough)
    constexpr uint64_t first_room = 1 << 16;
    std::string out(static_cast<size_t>(std::min(room, std::max(first_room, packed > room / 4 ? room : packed * 4))), '\0');
    Inflater inflater(window_bits);
    z_stream &z = inflater.z;
    std::string piece(static_cast<size_t>(std::min<uint64_t>(packed, 1 << 16)), '\0');
    taken = 0;
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    unsigned char spare; // room for one byte more, to learn whether the stream goes on
    bool past = false;
    for (;;) {
        if (z.avail_in == 0 && taken < packed) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), packed - taken));
            if (f.read_at(from + taken, piece.data(), n) != n) throw Error("its packed data lies past the end of the file");
            z.next_in = reinterpret_cast<Bytef *>(piece.data());
            z.avail_in = static_cast<uInt>(n);
            taken += n;
        }
        if (z.avail_out == 0 && !past) {
            const size_t used = out.size();
            if (used < room) {
                out.resize(static_cast<size_t>(std::min<uint64_t>(room, uint64_t(used) * 2)));
                z.next_out = reinterpret_cast<Bytef *>(out.data() + used);
                z.avail_out = static_cast<uInt>(out.size() - used);
            } else {
                z.next_out = &spare, z.avail_out = 1, past = true;
            }
        }
        const int status = inflate(&z, Z_NO_FLUSH);
        if (past && z.avail_out == 0) {
            if (room == declared)
                throw Error("it unpacks to more than the " + text::grouped(declared) + " bytes its " + said_by + " says");
            throw Error("it unpacks to more than the " + megabytes(limit) + " fb2cols unpacks of one book");
        }
        if (status == Z_STREAM_END) break;
        if (status == Z_MEM_ERROR) throw std::bad_alloc();
        if (status == Z_DATA_ERROR || status == Z_NEED_DICT)
            throw Error(std::string("its packed data is damaged (") + (z.msg ? z.msg : "invalid data") + ")");
        // no progress, and nothing more to give it
        if (status == Z_BUF_ERROR && taken == packed) throw Error("its packed data ends before the book does");
    }
    taken -= z.avail_in;
    out.resize(past ? out.size() : out.size() - z.avail_out);
    return out;
}

std::string method_name(uint16_t method) {
    switch (method) {
    case 9: return "Deflate64";
    case 12: return "bzip2";
    case 14: return "LZMA";
    case 93: return "Zstandard";
    case 95: return "XZ";
    default: return "method " + std::to_string(method);
    }
}

void within_limit(uint64_t size, uint64_t limit) {
    if (size > limit)
        throw Error("it unpacks to " + megabytes(size) + ", more than the " + megabytes(limit) +
                    " fb2cols unpacks of one book");
}

} // namespace

std::vector<Member> directory(const os::File &zip) {
    const uint64_t size = zip.size();
    if (size < end_size) throw Error("not a zip archive (too short to hold a directory)");
    // the end record is the last thing in the archive but for a comment of at most 65,535 bytes
    const uint64_t tail_at = size - std::min<uint64_t>(size, end_size + 0xFFFF);
    const std::string tail = read_exactly(zip, tail_at, size - tail_at, "the end of its directory");
    size_t e = tail.size() - end_size + 1;
    bool found = false;
    while (!found && e-- > 0)
        found = u32(bytes(tail) + e) == end_signature && e + end_size + u16(bytes(tail) + e + 20) <= tail.size();
    if (!found) throw Error("not a zip archive (no end of a directory in it)");
    const unsigned char *end = bytes(tail) + e;
    uint64_t end_at = tail_at + e;
    uint32_t disk = u16(end + 4), directory_disk = u16(end + 6);
    uint64_t on_disk = u16(end + 8), count = u16(end + 10), length = u32(end + 12), offset = u32(end + 16);

    // ZIP64: a locator just before the end record points at a larger one
    if (end_at >= locator64_size) {
        const std::string locator = read_exactly(zip, end_at - locator64_size, locator64_size, "its ZIP64 locator");
        if (u32(bytes(locator)) == locator64_signature) {
            uint64_t at = u64(bytes(locator) + 8);
            // an archive with bytes before it (a self-extractor) moves every offset; the record is
            // then right before its locator
            std::string record;
            if (size >= end64_size && at <= size - end64_size) record = read_exactly(zip, at, end64_size, "its ZIP64 end record");
            const auto is_record = [&] { return record.size() == end64_size && u32(bytes(record)) == end64_signature; };
            if (!is_record() && end_at >= locator64_size + end64_size) {
                at = end_at - locator64_size - end64_size;
                record = read_exactly(zip, at, end64_size, "its ZIP64 end record");
            }
            if (!is_record()) throw Error("its ZIP64 end record is not where its locator says");
            const unsigned char *r = bytes(record);
            disk = u32(r + 16), directory_disk = u32(r + 20);
            on_disk = u64(r + 24), count = u64(r + 32), length = u64(r + 40), offset = u64(r + 48);
            end_at = at;
        }
    }
    if (disk != 0 || directory_disk != 0 || on_disk != count)
        throw Error("one part of an archive split over several files (fb2cols reads whole archives)");
    if (length > end_at) throw Error("its directory says it is larger than the archive");
    if (length > book_limit) throw Error("its directory takes " + megabytes(length) + ", more than fb2cols reads of one");
    // The directory ends where the end record begins, or it begins where it says, with a gap after it;
    // else the archive has bytes before it (a self-extractor), which move every offset alike.
    const uint64_t starts = end_at - length;
    uint64_t shift = 0;
    if (offset != starts && !(offset < starts && count > 0 &&
                              u32(bytes(read_exactly(zip, offset, 4, "its directory"))) == central_signature)) {
        if (offset > starts) throw Error("its directory is not where the archive says");
        shift = starts - offset;
    }
    // each entry takes at least its fixed part: a count beyond that is a lie, caught before any memory is taken
    if (count > length / central_size)
        throw Error("its directory says it lists " + text::grouped(count) + " files, more than it has room for");
    const std::string listing = read_exactly(zip, offset + shift, length, "its directory");
    std::vector<Member> members;
    // (room as entries come: the count is bounded by the directory's bytes, not by what a list may take)
    members.reserve(static_cast<size_t>(std::min<uint64_t>(count, 4096)));
    size_t at = 0;
    for (uint64_t k = 0; k < count; ++k) {
        if (listing.size() - at < central_size) throw Error("its directory ends before its last entry");
        Member m = entry(listing, at);
        m.header += shift;
        if (!m.name.empty() && m.name.back() != '/') members.push_back(std::move(m)); // not a folder
    }
    return members;
}

std::string unzip(const os::File &zip, const Member &m, uint64_t limit) {
    if (m.flags & flag_encrypted) throw Error("it is encrypted (fb2cols reads no encrypted member)");
    if (m.method != 0 && m.method != 8)
        throw Error("it is packed with " + method_name(m.method) + " (fb2cols reads stored and deflated members)");
    within_limit(m.size, limit);
    const std::string local = read_exactly(zip, m.header, local_size, "its local header");
    if (u32(bytes(local)) != local_signature) throw Error("no member where the directory says it begins");
    const uint64_t data = m.header + local_size + u16(bytes(local) + 26) + u16(bytes(local) + 28);
    if (data > zip.size() || m.packed > zip.size() - data) throw Error("its packed data lies past the end of the archive");
    std::string out;
    if (m.method == 0) {
        if (m.packed != m.size) throw Error("it is stored, yet its two sizes differ");
        out = read_exactly(zip, data, m.size, "its data");
    } else {
        uint64_t taken = 0;
        out = inflate_from(zip, data, m.packed, m.size, limit, -MAX_WBITS, "directory", taken);
        if (out.size() != m.size)
            throw Error("it unpacks to " + text::grouped(out.size()) + " bytes, not the " + text::grouped(m.size) +
                        " its directory says");
    }
    if (crc32_z(0, reinterpret_cast<const Bytef *>(out.data()), out.size()) != m.crc)
        throw Error("its CRC does not match its data: the member is damaged");
    return out;
}

std::string gunzip(const os::File &gz, uint64_t limit) {
    constexpr size_t smallest = 18; // a header of 10 bytes and a trailer of 8
    if (gz.size() < smallest) throw Error("too short for a gzip file");
    // the size of what it holds (modulo 4 GiB) ends the file; zlib checks it and the CRC at the end. A
    // file cut short ends in other bytes, which bound nothing but the room the output may grow to.
    const std::string trailer = read_exactly(gz, gz.size() - 4, 4, "its trailer");
    uint64_t taken = 0;
    std::string out = inflate_from(gz, 0, gz.size(), u32(bytes(trailer)), limit, MAX_WBITS + 16, "trailer", taken);
    if (taken != gz.size()) throw Error("more follows its gzip stream (fb2cols reads a file of one)");
    return out;
}

std::string whole(const os::File &f, uint64_t limit) {
    if (f.size() > limit)
        throw Error("it takes " + megabytes(f.size()) + ", more than the " + megabytes(limit) +
                    " fb2cols reads of one book itself");
    return read_exactly(f, 0, f.size(), "the book");
}

std::string_view packed_kind(std::string_view head) {
    if (head.starts_with("PK\x03\x04") || head.starts_with("PK\x05\x06")) return "a zip archive";
    if (head.starts_with("\x1f\x8b")) return "gzip-compressed";
    return {};
}

} // namespace archive
