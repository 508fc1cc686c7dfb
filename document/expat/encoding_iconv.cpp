#include "encoding_iconv.h"

#include "resident.h"
#include "upper_half.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

namespace xmldoc::expat::encoding {

namespace {

struct Alias {
    const char *name; // lower case
    const char *canonical;
};

// Names the Windows document object accepts for an encoding, where iconv spells it otherwise or
// decodes it otherwise: Shift_JIS there is code page 932, Big5 is 950, GB2312 is 936, and so on.
// (Names with a colon, as ISO_8859-1:1987, are not XML encoding names: the parser refuses them.)
const Alias aliases[] = {
    // Expat's own decoders
    {"utf-8", "UTF-8"},
    {"utf8", "UTF-8"},
    {"unicode-1-1-utf-8", "UTF-8"},
    {"unicode-2-0-utf-8", "UTF-8"},
    {"x-unicode-1-1-utf-8", "UTF-8"},
    {"x-unicode-2-0-utf-8", "UTF-8"},
    {"x-unicode20utf8", "UTF-8"},
    {"utf-16", "UTF-16"},
    {"utf-16le", "UTF-16LE"},
    {"utf-16be", "UTF-16BE"},
    {"unicode", "UTF-16"},
    {"unicodefffe", "UTF-16"},
    {"ucs-2", "UTF-16"},
    {"iso-10646-ucs-2", "UTF-16"},
    {"csunicode", "UTF-16"},
    {"us-ascii", "US-ASCII"},
    {"ascii", "US-ASCII"},
    {"us", "US-ASCII"},
    {"ansi_x3.4-1968", "US-ASCII"},
    {"ansi_x3.4-1986", "US-ASCII"},
    {"iso646-us", "US-ASCII"},
    {"iso-ir-6", "US-ASCII"},
    {"cp367", "US-ASCII"},
    {"ibm367", "US-ASCII"},
    {"csascii", "US-ASCII"},
    {"iso-8859-1", "ISO-8859-1"},
    {"iso8859-1", "ISO-8859-1"},
    {"iso_8859-1", "ISO-8859-1"},
    {"iso-ir-100", "ISO-8859-1"},
    {"latin1", "ISO-8859-1"},
    {"l1", "ISO-8859-1"},
    {"ibm819", "ISO-8859-1"},
    {"cp819", "ISO-8859-1"},
    {"csisolatin1", "ISO-8859-1"},
    // Windows code pages
    {"windows-1250", "CP1250"},
    {"x-cp1250", "CP1250"},
    {"windows-1251", "CP1251"},
    {"x-cp1251", "CP1251"},
    {"windows-1252", "CP1252"},
    {"windows-1253", "CP1253"},
    {"windows-1254", "CP1254"},
    {"windows-1255", "CP1255"},
    {"windows-1256", "CP1256"},
    {"windows-1257", "CP1257"},
    {"windows-1258", "CP1258"},
    {"windows-874", "CP874"},
    // Cyrillic
    {"koi8-r", "KOI8-R"},
    {"koi8r", "KOI8-R"},
    {"koi8", "KOI8-R"},
    {"koi", "KOI8-R"},
    {"cskoi8r", "KOI8-R"},
    {"koi8-u", "KOI8-U"},
    {"koi8-ru", "KOI8-U"},
    {"cp866", "CP866"},
    {"ibm866", "CP866"},
    {"csibm866", "CP866"},
    {"x-mac-cyrillic", "MAC-CYRILLIC"},
    // Mac
    {"macintosh", "MACINTOSH"},
    {"x-mac-ce", "MAC-CENTRALEUROPE"},
    {"x-mac-icelandic", "MAC-IS"},
    // Japanese
    {"shift_jis", "CP932"},
    {"shift-jis", "CP932"},
    {"sjis", "CP932"},
    {"x-sjis", "CP932"},
    {"ms_kanji", "CP932"},
    {"csshiftjis", "CP932"},
    {"cswindows31j", "CP932"},
    {"windows-31j", "CP932"},
    {"x-ms-cp932", "CP932"},
    {"cp932", "CP932"},
    {"euc-jp", "EUC-JP"},
    {"x-euc", "EUC-JP"},
    {"x-euc-jp", "EUC-JP"},
    {"cseucpkdfmtjapanese", "EUC-JP"},
    {"iso-2022-jp", "ISO-2022-JP"},
    {"csiso2022jp", "ISO-2022-JP"},
    // Korean
    {"ks_c_5601-1987", "CP949"},
    {"ks_c_5601-1989", "CP949"},
    {"ks_c_5601", "CP949"},
    {"ks_c_5601_1987", "CP949"},
    {"ksc_5601", "CP949"},
    {"ksc5601", "CP949"},
    {"korean", "CP949"},
    {"csksc56011987", "CP949"},
    {"iso-ir-149", "CP949"},
    {"windows-949", "CP949"},
    {"cp949", "CP949"},
    {"euc-kr", "EUC-KR"},
    {"cseuckr", "EUC-KR"},
    {"iso-2022-kr", "ISO-2022-KR"},
    {"csiso2022kr", "ISO-2022-KR"},
    {"johab", "JOHAB"},
    // Chinese
    {"gb2312", "CP936"},
    {"gb_2312-80", "CP936"},
    {"gb231280", "CP936"},
    {"csgb2312", "CP936"},
    {"csgb231280", "CP936"},
    {"csiso58gb231280", "CP936"},
    {"iso-ir-58", "CP936"},
    {"chinese", "CP936"},
    {"cn-gb", "CP936"},
    {"gbk", "CP936"},
    {"cp936", "CP936"},
    {"windows-936", "CP936"},
    {"gb18030", "GB18030"},
    {"big5", "CP950"},
    {"cn-big5", "CP950"},
    {"csbig5", "CP950"},
    {"x-x-big5", "CP950"},
    {"cp950", "CP950"},
    // seven-bit Unicode
    {"utf-7", "UTF-7"},
    {"unicode-1-1-utf-7", "UTF-7"},
    {"unicode-2-0-utf-7", "UTF-7"},
    {"x-unicode-1-1-utf-7", "UTF-7"},
    {"x-unicode-2-0-utf-7", "UTF-7"},
    {"csunicode11utf7", "UTF-7"},
};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

// Windows' code pages 1250 to 1258 give each byte from 80 to 9F they leave undefined the C1 control
// of the same number; iconv refuses those bytes
bool fills_c1(const std::string &name) {
    return name.size() == 6 && name.compare(0, 4, "CP12") == 0 && name[4] == '5' && name[5] >= '0' && name[5] <= '8';
}

iconv_t handle(void *cd) { return static_cast<iconv_t>(cd); }
bool valid(void *cd) { return cd != reinterpret_cast<void *>(-1); }

// Builds the table, or returns null when iconv does not know the encoding or Expat cannot express
// it: every ASCII byte must stand for itself or be invalid, every lead byte must start sequences of
// one length, and no character may lie beyond U+FFFF.
std::unique_ptr<Table> build_table(const std::string &name) {
    Converter conv(name.c_str());
    if (!conv.ok()) return nullptr;
    auto table = std::make_unique<Table>();
    table->name = name;
    const bool c1 = fills_c1(name);
    for (int b = 0; b < 256; ++b) {
        const unsigned char byte = static_cast<unsigned char>(b);
        const int32_t c = conv.convert(&byte, 1);
        if (c > 0xFFFF) return nullptr;
        if (c >= 0) {
            table->map[b] = c;
            continue;
        }
        if (b < 0x80) {
            if (c == -2) return nullptr; // an ASCII byte that starts a sequence: a stateful encoding
            table->map[b] = -1;
            continue;
        }
        if (c == -1) {
            table->map[b] = c1 && b < 0xA0 ? b : -1;
            continue;
        }
        // a lead byte: its sequences must all be as long
        table->map[b] = -1;
        unsigned char seq[4] = {byte, 0, 0, 0};
        for (size_t len = 2; len <= 3; ++len) {
            int incomplete = -1;
            bool complete = false;
            for (int t = 0x21; t < 0x100; ++t) {
                seq[len - 1] = static_cast<unsigned char>(t);
                const int32_t r = conv.convert(seq, len);
                if (r > 0xFFFF) return nullptr;
                if (r >= 0) complete = true;
                if (r == -2 && incomplete < 0) incomplete = t;
            }
            if (complete && incomplete >= 0) return nullptr; // as GB18030: two bytes or four
            if (complete) {
                table->map[b] = -static_cast<int>(len);
                break;
            }
            if (incomplete < 0) break; // no sequence starts so
            if (len == 3) return nullptr; // four bytes and more: possibly beyond U+FFFF
            seq[len - 1] = static_cast<unsigned char>(incomplete);
        }
        if (table->map[b] != -1) table->multibyte = true;
    }
    if (table->multibyte) {
        table->pairs = std::make_unique<int32_t[]>(65536);
        for (int lead = 0; lead < 256; ++lead) {
            for (int trail = 0; trail < 256; ++trail) {
                const unsigned char seq[2] = {static_cast<unsigned char>(lead), static_cast<unsigned char>(trail)};
                const int32_t c = table->map[lead] == -2 ? conv.convert(seq, 2) : -1;
                table->pairs[lead << 8 | trail] = c < 0 ? -1 : c;
            }
        }
    }
    return table;
}

} // namespace

std::string canonical(std::string_view declared) {
    for (const Alias &a : aliases)
        if (same_ignoring_case(declared, a.name)) return a.canonical;
    std::string name(declared);
    std::transform(name.begin(), name.end(), name.begin(), upper);
    return name;
}

bool expat_decodes(std::string_view name) {
    for (const char *own : {"UTF-8", "UTF-16", "UTF-16LE", "UTF-16BE", "ISO-8859-1", "US-ASCII"})
        if (same_ignoring_case(name, own)) return true;
    return false;
}

Converter::Converter(const char *name) : cd_(iconv_open("UTF-32LE", name)) {}

Converter::~Converter() {
    if (ok()) iconv_close(handle(cd_));
}

bool Converter::ok() const { return valid(cd_); }

int32_t Converter::convert(const unsigned char *bytes, size_t n) {
    const iconv_t cd = handle(cd_);
    iconv(cd, nullptr, nullptr, nullptr, nullptr); // forget any shift state
    char in[4];
    std::memcpy(in, bytes, n);
    char out[16];
    char *ip = in, *op = out;
    size_t il = n, ol = sizeof out;
    const size_t r = iconv(cd, &ip, &il, &op, &ol);
    if (r == static_cast<size_t>(-1)) return errno == EINVAL ? -2 : -1;
    iconv(cd, nullptr, nullptr, &op, &ol); // a composing converter holds a letter back for a mark
    if (op - out != 4) return -1;          // nothing, or more than one character
    uint32_t c;
    std::memcpy(&c, out, 4);
    return c > 0x10FFFF ? -1 : static_cast<int32_t>(c);
}

namespace {

struct Tables {
    std::mutex lock;
    std::map<std::string, TablePtr> tables;
};

} // namespace

TablePtr find_table(const std::string &name) {
    // built once per encoding and kept for the life of the library: only usable ones, and only so
    // many, so that books naming ever new encodings cannot make the library grow
    constexpr size_t max_tables = 64;
    Tables &kept = resident<Tables>();
    {
        std::lock_guard guard(kept.lock);
        if (auto it = kept.tables.find(name); it != kept.tables.end()) return it->second;
    }
    TablePtr table = build_table(name); // outside the lock: a double-byte table takes a while
    if (!table) return nullptr;
    std::lock_guard guard(kept.lock);
    if (kept.tables.size() >= max_tables) return table;
    return kept.tables.emplace(name, std::move(table)).first->second; // a table stored meanwhile wins
}

void release_tables() {
    Tables &kept = resident<Tables>();
    std::lock_guard guard(kept.lock);
    kept.tables.clear();
}

int32_t convert_sequence(const Table &table, std::unique_ptr<Converter> &state, const unsigned char *bytes) {
    const int len = -table.map[bytes[0]];
    if (len == 2) return table.pairs[bytes[0] << 8 | bytes[1]];
    if (!state) state = std::make_unique<Converter>(table.name.c_str());
    const int32_t c = state->convert(bytes, static_cast<size_t>(len));
    return c < 0 || c > 0xFFFF ? -1 : c;
}

// ---- whole books through iconv

std::unique_ptr<Utf8Stream> Utf8Stream::open(const std::string &name, std::string_view prolog) {
    // the stream first: once the converter is open, it is the stream's to close
    std::unique_ptr<Utf8Stream> stream(new Utf8Stream(iconv_open("UTF-8", name.c_str())));
    void *cd = stream->cd_;
    if (!valid(cd)) return nullptr;
    std::string out(stream->room(prolog.size()), '\0');
    const size_t n = stream->convert(prolog.data(), prolog.size(), true, out.data());
    if (std::string_view(out.data(), n) != prolog) return nullptr;
    iconv(handle(cd), nullptr, nullptr, nullptr, nullptr);
    stream->held_.clear();
    stream->failed_ = false;
    return stream;
}

Utf8Stream::~Utf8Stream() {
    if (valid(cd_)) iconv_close(handle(cd_));
}

size_t Utf8Stream::room(size_t n) const {
    // a character takes at most four bytes of UTF-8 and at least one of input; a converter that
    // splits one into a letter and a mark still writes no more than four per input byte
    if (n > (SIZE_MAX - 16) / 4 - held_.size()) throw std::length_error("piece too big to convert");
    return (held_.size() + n) * 4 + 16;
}

size_t Utf8Stream::convert(const char *in, size_t n, bool last, char *out) {
    if (failed_) return 0;
    size_t ol = room(n);
    std::string input = std::move(held_);
    held_.clear();
    input.append(in, n);
    char *ip = input.data(), *op = out;
    size_t il = input.size();
    const iconv_t cd = handle(cd_);
    while (il > 0) {
        if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1)) break;
        if (errno == EINVAL && !last) {
            held_.assign(ip, il); // the rest of it comes with the next piece
            break;
        }
        if (errno == E2BIG) throw std::length_error("converted piece bigger than its room");
        // invalid, or unfinished at the end of the book
        *op++ = '\xFF';
        failed_ = true;
        return static_cast<size_t>(op - out);
    }
    if (last) iconv(cd, nullptr, nullptr, &op, &ol); // back to the initial shift state
    return static_cast<size_t>(op - out);
}

} // namespace xmldoc::expat::encoding

// the upper half as Expat is told it: its own decoder for ISO-8859-1 and US-ASCII, else the table
// its unknown-encoding handler is given
std::optional<std::array<char32_t, 128>> xmldoc::upper_half(std::string_view declared) {
    using namespace xmldoc::expat;
    using encoding::canonical;
    const std::string name = canonical(declared);
    std::array<char32_t, 128> half{};
    if (name == "ISO-8859-1") {
        for (size_t b = 0; b < half.size(); ++b) half[b] = static_cast<char32_t>(0x80 + b);
        return half;
    }
    if (name == "US-ASCII") return half;
    if (encoding::expat_decodes(name)) return std::nullopt;
    const encoding::TablePtr table = encoding::find_table(name);
    if (!table || table->multibyte) return std::nullopt;
    for (size_t b = 0; b < half.size(); ++b) half[b] = table->map[0x80 + b] < 0 ? 0 : static_cast<char32_t>(table->map[0x80 + b]);
    return half;
}
