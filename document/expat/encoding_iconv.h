// Encodings for the Expat back end: the names books declare, mapped onto what Expat and the
// platform converter (iconv) know; tables for Expat's unknown-encoding handler; and a streaming
// conversion to UTF-8 for encodings no such table can describe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace xmldoc::expat::encoding {

// The name an encoding goes by here, for a name a book may declare (ASCII case ignored): Expat's own
// spelling for the encodings it decodes itself, iconv's for the others. A name our table does not
// hold comes back upper-cased, for iconv to try.
std::string canonical(std::string_view declared);

// true for the names Expat decodes itself, in the spelling Expat accepts
bool expat_decodes(std::string_view canonical_name);

// Expat describes an encoding by the first byte of each character: map[b] is the character of a
// one-byte sequence, -n for the lead byte of an n-byte sequence, -1 for a byte that never starts one.
struct Table {
    std::string name; // as iconv knows it
    int map[256];
    bool multibyte = false;
    std::unique_ptr<int32_t[]> pairs; // all two-byte sequences, converted once: lead << 8 | trail
};
using TablePtr = std::shared_ptr<const Table>;

// The table for an encoding iconv knows, built once and kept; null when iconv does not know it or a
// table cannot express it (stateful, lead bytes of several lengths, characters beyond U+FFFF).
TablePtr find_table(const std::string &canonical_name);

// frees the tables kept; only while no read runs
void release_tables();

// one character from exactly n bytes (n <= 4): its code point, -1 for invalid, -2 when more are needed
class Converter {
public:
    explicit Converter(const char *name);
    ~Converter();
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    bool ok() const;
    int32_t convert(const unsigned char *bytes, size_t n);

private:
    void *cd_;
};

// The character of a sequence that the table gives as longer than one byte; state is the caller's
// converter for sequences of three or four bytes, made on first use.
int32_t convert_sequence(const Table &table, std::unique_ptr<Converter> &state, const unsigned char *bytes);

// Converts a whole book from an encoding to UTF-8 as it is read, piece by piece. A sequence cut at
// the end of a piece waits for the next; the first byte that is not valid, and a sequence the book
// leaves unfinished, come out as the byte FF, which no UTF-8 text holds, so that the parser fails
// right there with its own message, line and column; nothing after it is converted.
class Utf8Stream {
public:
    // null when iconv cannot convert from the encoding, or when ASCII does not stand for itself in it
    // (the declaration that named it, prolog, must come out unchanged)
    static std::unique_ptr<Utf8Stream> open(const std::string &canonical_name, std::string_view prolog);
    ~Utf8Stream();
    Utf8Stream(const Utf8Stream &) = delete;
    Utf8Stream &operator=(const Utf8Stream &) = delete;

    // the most bytes convert() writes for n bytes of input
    size_t room(size_t n) const;
    // converts n bytes of in, after what an earlier call held back, into out (room(n) bytes);
    // returns the bytes written
    size_t convert(const char *in, size_t n, bool last, char *out);

private:
    explicit Utf8Stream(void *cd) : cd_(cd) {}

    void *cd_;
    std::string held_; // an unfinished sequence from the last piece
    bool failed_ = false;
};

} // namespace xmldoc::expat::encoding
