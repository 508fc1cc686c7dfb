// The plug-in boundary as a host sees it: the built library loaded by path, its four exports called with
// host buffers that have guard bytes on both sides, books written on the fly.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "plugin_host.h"
#include "support.h"

namespace fs = std::filesystem;
using plugin_host::HostBuffer;
using plugin_host::Library;

namespace {

// COM for the thread running the tests in the Windows build; the stress test's threads hold their own
[[maybe_unused]] testing::Environment *const main_thread =
    testing::AddGlobalTestEnvironment(new plugin_host::MainThread);

constexpr int32_t big = 512;

// ---- text helpers, independent of the library's own converters

struct Char {
    size_t units;      // UTF-16 code units
    std::string utf8;  // its bytes in UTF-8
};

// the text split into characters (a surrogate pair is one), each with its UTF-8 form
std::vector<Char> characters(std::u16string_view s) {
    std::vector<Char> out;
    for (size_t i = 0; i < s.size();) {
        char32_t c = s[i];
        size_t n = 1;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            n = 2;
        }
        std::string b;
        if (c < 0x80) {
            b += static_cast<char>(c);
        } else if (c < 0x800) {
            b += static_cast<char>(0xC0 | c >> 6);
            b += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            b += static_cast<char>(0xE0 | c >> 12);
            b += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            b += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            b += static_cast<char>(0xF0 | c >> 18);
            b += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            b += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            b += static_cast<char>(0x80 | (c & 0x3F));
        }
        out.push_back({n, b});
        i += n;
    }
    return out;
}

std::string utf8(std::u16string_view s) {
    std::string out;
    for (const Char &c : characters(s)) out += c.utf8;
    return out;
}

std::string hex(const std::vector<std::byte> &bytes) {
    std::string out;
    char b[4];
    for (std::byte x : bytes) {
        std::snprintf(b, sizeof b, "%02x ", std::to_integer<unsigned>(x));
        out += b;
    }
    return out;
}

std::vector<std::byte> wide_bytes(std::u16string_view s) {
    std::vector<std::byte> out;
    for (char16_t c : s) {
        out.push_back(static_cast<std::byte>(c & 0xFF));
        out.push_back(static_cast<std::byte>(c >> 8));
    }
    out.insert(out.end(), 2, std::byte{0});
    return out;
}

std::vector<std::byte> ansi_bytes(std::string_view s) {
    std::vector<std::byte> out;
    for (char c : s) out.push_back(static_cast<std::byte>(c));
    out.push_back(std::byte{0});
    return out;
}

std::vector<std::byte> number_bytes(int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    return {std::byte(u & 0xFF), std::byte(u >> 8 & 0xFF), std::byte(u >> 16 & 0xFF), std::byte(u >> 24)};
}

// ---- books

struct Book {
    std::optional<std::u16string> genre, first, last, title, seq;
    std::optional<int32_t> seq_n;

    const std::optional<std::u16string> &text(int32_t field) const {
        static const std::optional<std::u16string> none;
        switch (field) {
        case 0: return genre;
        case 1: return first;
        case 2: return last;
        case 3: return title;
        case 4: return seq;
        default: return none;
        }
    }
};

std::string fb2(const Book &b) {
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\">\n"
                    "<description><title-info>\n";
    if (b.genre) x += "<genre>" + utf8(*b.genre) + "</genre>\n";
    if (b.first || b.last) {
        x += "<author>";
        if (b.first) x += "<first-name>" + utf8(*b.first) + "</first-name>";
        if (b.last) x += "<last-name>" + utf8(*b.last) + "</last-name>";
        x += "</author>\n";
    }
    if (b.title) x += "<book-title>" + utf8(*b.title) + "</book-title>\n";
    if (b.seq || b.seq_n) {
        x += "<sequence";
        if (b.seq) x += " name=\"" + utf8(*b.seq) + "\"";
        if (b.seq_n) x += " number=\"" + std::to_string(*b.seq_n) + "\"";
        x += "/>\n";
    }
    x += "<lang>en</lang></title-info></description>\n<body><section><p>Text.</p></section></body>\n</FictionBook>\n";
    return x;
}

Book titled(std::u16string title) {
    Book b;
    b.title = std::move(title);
    return b;
}

// ---- calls

enum class Entry { wide, ansi };
constexpr Entry both_entries[] = {Entry::wide, Entry::ansi};

const char *label(Entry e) { return e == Entry::wide ? "ContentGetValueW" : "ContentGetValue"; }

struct Reply {
    int32_t result;
    HostBuffer buf;
};

Reply ask(Library &lib, Entry e, const fs::path &file, int32_t field, int32_t size = big, int32_t unit = 0,
          int32_t flags = 0) {
    Reply r{0, HostBuffer(size)};
    if (e == Entry::wide) {
        const auto name = plugin_host::wide_name(file);
        r.result = lib.ContentGetValueW(name.c_str(), field, unit, r.buf.data(), size, flags);
    } else {
        const auto name = plugin_host::ansi_name(file);
        r.result = lib.ContentGetValue(name.c_str(), field, unit, r.buf.data(), size, flags);
    }
    return r;
}

// what a host should get: the result code and the bytes written from the start of the buffer
struct Want {
    int32_t result = fld_empty;
    std::vector<std::byte> bytes;
};

// a text cut to fit: whole characters only, at most `units` UTF-16 units and `bytes` UTF-8 bytes
std::vector<Char> fitting(std::u16string_view text, size_t units, size_t bytes) {
    std::vector<Char> out;
    size_t u = 0, b = 0;
    for (const Char &c : characters(text)) {
        if (u + c.units > units || b + c.utf8.size() > bytes) break;
        u += c.units;
        b += c.utf8.size();
        out.push_back(c);
    }
    return out;
}

// The answer for a text in `size` bytes. UTF-16: ⌊size/2⌋ - 1 units and the NUL, never half a pair.
// ANSI (UTF-8 here): the text as UTF-16 would give it in size bytes, then cut to size - 1 bytes on a
// character boundary. Under 2 bytes the library writes nothing at all, through either entry point.
Want want_text(Entry e, std::u16string_view text, int32_t size) {
    if (size < 2) return {};
    const auto units = static_cast<size_t>(size / 2 - 1);
    if (e == Entry::wide) {
        size_t taken = 0;
        for (const Char &c : fitting(text, units, SIZE_MAX)) taken += c.units;
        return {fld_widestring, wide_bytes(text.substr(0, taken))};
    }
    std::string cut;
    for (const Char &c : fitting(text, units, static_cast<size_t>(size) - 1)) cut += c.utf8;
    return {fld_string, ansi_bytes(cut)};
}

Want want(Entry e, const Book &b, int32_t field, int32_t size = big) {
    if (field == 5) {
        if (!b.seq_n || size < 4) return {};
        return {fld_numeric32, number_bytes(*b.seq_n)};
    }
    const auto &text = b.text(field);
    if (!text) return {};
    return want_text(e, *text, size);
}

// the ANSI code page on Windows is the system's; only ASCII has a known image there
bool ansi_known(std::u16string_view text) {
#ifdef _WIN32
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
#else
    (void)text;
    return true;
#endif
}

bool ansi_known(const Book &b) {
    for (int32_t f = 0; f < 5; ++f)
        if (b.text(f) && !ansi_known(*b.text(f))) return false;
    return true;
}

void expect_reply(const Reply &r, const Want &w) {
    EXPECT_EQ(r.result, w.result);
    EXPECT_TRUE(r.buf.guards_intact()) << "a write outside the host's buffer";
    if (w.result == fld_empty) {
        EXPECT_TRUE(r.buf.untouched()) << "wrote into the buffer without a value: " << hex(r.buf.head(16));
        return;
    }
    EXPECT_EQ(hex(r.buf.head(w.bytes.size())), hex(w.bytes));
    EXPECT_TRUE(r.buf.rest_untouched(w.bytes.size())) << "wrote past the value's end";
}

void expect_book(Library &lib, Entry e, const fs::path &file, const Book &b) {
    for (int32_t field = 0; field < 6; ++field) {
        SCOPED_TRACE("field " + std::to_string(field));
        expect_reply(ask(lib, e, file, field), want(e, b, field));
    }
}

const Book foundation{u"sf", u"Isaac", u"Asimov", u"Foundation", u"Foundation", 3};
const Book second_foundation{u"sf_history", u"Isaac", u"Asimov", u"Second Foundation", u"Foundation", 5};

} // namespace

// ---- description

TEST(plugin_fields, every_index_as_a_host_enumerates) {
    struct Row {
        int32_t index;
        int32_t type;
        const char *name; // null: nothing written
    };
    const Row rows[] = {
        {INT32_MIN, fld_nomore, nullptr}, {-1, fld_nomore, nullptr},
        {0, fld_widestring, "genre"},     {1, fld_widestring, "aut_f"},
        {2, fld_widestring, "aut_l"},     {3, fld_widestring, "title"},
        {4, fld_widestring, "seq"},       {5, fld_numeric32, "seq_n"},
        {6, fld_nomore, nullptr},         {7, fld_nomore, nullptr},
        {INT32_MAX, fld_nomore, nullptr},
    };
    Library lib;
    for (const Row &row : rows) {
        SCOPED_TRACE("index " + std::to_string(row.index));
        HostBuffer name(64), units(64);
        EXPECT_EQ(lib.ContentGetSupportedField(row.index, name.chars(), units.chars(), 64), row.type);
        EXPECT_TRUE(name.guards_intact());
        EXPECT_TRUE(units.guards_intact());
        if (!row.name) {
            EXPECT_TRUE(name.untouched());
            EXPECT_TRUE(units.untouched());
            continue;
        }
        EXPECT_EQ(hex(name.head(std::strlen(row.name) + 1)), hex(ansi_bytes(row.name)));
        EXPECT_TRUE(name.rest_untouched(std::strlen(row.name) + 1));
        EXPECT_EQ(hex(units.head(1)), "00 ") << "the unit list is empty, not missing";
        EXPECT_TRUE(units.rest_untouched(1));
    }
}

TEST(plugin_fields, names_cut_to_the_buffer) {
    struct Row {
        int32_t index;
        int32_t size;
        const char *name;
    };
    const Row rows[] = {
        {0, 1, ""},    {0, 2, "g"},   {0, 4, "gen"},     {0, 5, "genr"},   {0, 6, "genre"},
        {5, 3, "se"},  {5, 5, "seq_"}, {5, 6, "seq_n"},  {4, 4, "seq"},    {3, 64, "title"},
    };
    Library lib;
    for (const Row &row : rows) {
        SCOPED_TRACE("index " + std::to_string(row.index) + ", BufSize " + std::to_string(row.size));
        HostBuffer name(row.size), units(row.size);
        EXPECT_EQ(lib.ContentGetSupportedField(row.index, name.chars(), units.chars(), row.size),
                  row.index == 5 ? fld_numeric32 : fld_widestring);
        EXPECT_TRUE(name.guards_intact());
        EXPECT_TRUE(units.guards_intact());
        EXPECT_EQ(hex(name.head(std::strlen(row.name) + 1)), hex(ansi_bytes(row.name)));
        EXPECT_TRUE(name.rest_untouched(std::strlen(row.name) + 1));
        EXPECT_EQ(hex(units.head(1)), "00 ");
        EXPECT_TRUE(units.rest_untouched(1));
    }
}

TEST(plugin_fields, no_room_writes_nothing_and_still_names_the_type) {
    // with no room nothing is written, yet the field is there: 0 would end the host's enumeration
    struct Row {
        const char *label;
        int32_t size;
        bool name_buf, units_buf;
    };
    const Row rows[] = {
        {"BufSize 0", 0, true, true},
        {"BufSize -1", -1, true, true},
        {"BufSize INT32_MIN", INT32_MIN, true, true},
        {"no name buffer", 64, false, true},
        {"no units buffer", 64, true, false},
        {"no buffers", 64, false, false},
    };
    Library lib;
    for (const Row &row : rows) {
        for (int32_t index : {0, 5}) {
            SCOPED_TRACE(std::string(row.label) + ", index " + std::to_string(index));
            HostBuffer name(row.size > 0 ? row.size : 0), units(row.size > 0 ? row.size : 0);
            EXPECT_EQ(lib.ContentGetSupportedField(index, row.name_buf ? name.chars() : nullptr,
                                                   row.units_buf ? units.chars() : nullptr, row.size),
                      index == 5 ? fld_numeric32 : fld_widestring);
            EXPECT_TRUE(name.guards_intact());
            EXPECT_TRUE(units.guards_intact());
            if (row.size <= 0 || !row.name_buf || !row.units_buf) {
                EXPECT_TRUE(name.untouched());
                EXPECT_TRUE(units.untouched());
            }
        }
    }
}

TEST(plugin_detect, expression_cut_to_the_buffer) {
    struct Row {
        int32_t size;
        const char *text;
    };
    const Row rows[] = {
        {64, "EXT=\"FB2\""}, {10, "EXT=\"FB2\""}, {9, "EXT=\"FB2"}, {4, "EXT"}, {2, "E"}, {1, ""},
    };
    Library lib;
    for (const Row &row : rows) {
        SCOPED_TRACE("BufSize " + std::to_string(row.size));
        HostBuffer buf(row.size);
        lib.ContentGetDetectString(buf.chars(), row.size);
        EXPECT_TRUE(buf.guards_intact());
        EXPECT_EQ(hex(buf.head(std::strlen(row.text) + 1)), hex(ansi_bytes(row.text)));
        EXPECT_TRUE(buf.rest_untouched(std::strlen(row.text) + 1));
    }
}

TEST(plugin_detect, no_room_writes_nothing) {
    struct Row {
        const char *label;
        int32_t size;
        bool buf;
    };
    const Row rows[] = {
        {"BufSize 0", 0, true}, {"BufSize -1", -1, true}, {"BufSize INT32_MIN", INT32_MIN, true},
        {"no buffer", 64, false},
    };
    Library lib;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        HostBuffer buf(0);
        lib.ContentGetDetectString(row.buf ? buf.chars() : nullptr, row.size);
        EXPECT_TRUE(buf.guards_intact());
    }
}

// ---- values

TEST(plugin_values, every_field_through_both_entry_points) {
    struct Row {
        const char *label;
        Book book;
    };
    const Row rows[] = {
        {"every field", foundation},
        {"Cyrillic", {u"prose_rus_classic", u"Лев", u"Толстой", u"Война и мир", u"Собрание", 7}},
        {"no sequence", {u"det_classic", u"Arthur", u"Doyle", u"A Study in Scarlet", {}, {}}},
        {"series name only", {u"sf", {}, u"Lem", u"Solaris", u"Collected", {}}},
        {"series number only", {{}, u"Ann", {}, u"Untitled", {}, -2}},
        {"title only", titled(u"Title")},
        {"astral and CJK",
         {u"poetry", u"\U0001F600", u"漢字", u"\U0001F600 smile 漢字", u"\U0001D11E", 2147483647}},
    };
    support::TempDir dir;
    Library lib;
    int n = 0;
    for (const Row &row : rows) {
        const fs::path file = dir.write("book" + std::to_string(n++) + ".fb2", fb2(row.book));
        for (Entry e : both_entries) {
            SCOPED_TRACE(std::string(row.label) + ", " + label(e));
            if (e == Entry::ansi && !ansi_known(row.book)) continue;
            expect_book(lib, e, file, row.book);
        }
    }
}

TEST(plugin_values, number_as_four_little_endian_bytes) {
    struct Row {
        int32_t number;
        int32_t size;
        std::vector<std::byte> bytes;
    };
    const Row rows[] = {
        {7, 4, {std::byte{0x07}, std::byte{0}, std::byte{0}, std::byte{0}}},
        {7, big, {std::byte{0x07}, std::byte{0}, std::byte{0}, std::byte{0}}},
        {-2, 4, {std::byte{0xFE}, std::byte{0xFF}, std::byte{0xFF}, std::byte{0xFF}}},
        {0x01020304, 5, {std::byte{0x04}, std::byte{0x03}, std::byte{0x02}, std::byte{0x01}}},
    };
    support::TempDir dir;
    Library lib;
    for (const Row &row : rows) {
        Book b{u"sf", {}, {}, u"T", u"X", row.number};
        const fs::path file = dir.write("n" + std::to_string(row.number) + ".fb2", fb2(b));
        for (Entry e : both_entries) {
            SCOPED_TRACE(std::to_string(row.number) + " in " + std::to_string(row.size) + " bytes, " + label(e));
            Reply r = ask(lib, e, file, 5, row.size);
            EXPECT_EQ(r.result, fld_numeric32);
            EXPECT_EQ(hex(r.buf.head(4)), hex(row.bytes));
            EXPECT_TRUE(r.buf.rest_untouched(4));
            EXPECT_TRUE(r.buf.guards_intact());
        }
    }
}

TEST(plugin_values, bad_index_is_empty_and_the_file_still_cached) {
    const int32_t indexes[] = {-1, 6, 7, INT32_MIN, INT32_MAX};
    support::TempDir dir;
    Library lib;
    int n = 0;
    for (int32_t index : indexes) {
        for (Entry e : both_entries) {
            SCOPED_TRACE("index " + std::to_string(index) + ", " + label(e));
            const fs::path file = dir.write("i" + std::to_string(n++) + ".fb2", fb2(foundation));
            Reply r = ask(lib, e, file, index);
            EXPECT_EQ(r.result, fld_empty);
            EXPECT_TRUE(r.buf.untouched());
            EXPECT_TRUE(r.buf.guards_intact());
            // the request read the file: a later change goes unseen
            dir.write(file.filename().string(), fb2(second_foundation));
            expect_book(lib, e, file, foundation);
        }
    }
}

TEST(plugin_values, unit_and_flags_make_no_difference) {
    const std::pair<int32_t, int32_t> rows[] = {
        {1, 0}, {-1, 0}, {0, 1}, {0, -1}, {INT32_MAX, INT32_MIN}, {INT32_MIN, INT32_MAX}, {5, 0x7F},
    };
    const Book books[] = {foundation, titled(u"Title only")};
    support::TempDir dir;
    Library lib;
    for (size_t k = 0; k < std::size(books); ++k) {
        const fs::path file = dir.write("b" + std::to_string(k) + ".fb2", fb2(books[k]));
        for (auto [unit, flags] : rows) {
            for (Entry e : both_entries) {
                for (int32_t field = -1; field <= 6; ++field) {
                    SCOPED_TRACE("book " + std::to_string(k) + ", UnitIdx " + std::to_string(unit) + ", Flags " +
                                 std::to_string(flags) + ", " + label(e) + ", field " + std::to_string(field));
                    expect_reply(ask(lib, e, file, field, big, unit, flags), want(e, books[k], field));
                }
            }
        }
    }
}

TEST(plugin_values, ten_characters_in_ten_bytes) {
    support::TempDir dir;
    const fs::path file = dir.write("ten.fb2", fb2(titled(u"Abcdefghij")));
    Library lib;
    {
        SCOPED_TRACE(label(Entry::wide));
        Reply r = ask(lib, Entry::wide, file, 3, 10);
        EXPECT_EQ(r.result, fld_widestring);
        EXPECT_EQ(hex(r.buf.head(10)), hex(wide_bytes(u"Abcd")));
        EXPECT_TRUE(r.buf.guards_intact());
    }
    {
        SCOPED_TRACE(label(Entry::ansi));
        Reply r = ask(lib, Entry::ansi, file, 3, 10);
        EXPECT_EQ(r.result, fld_string);
        EXPECT_EQ(hex(r.buf.head(5)), hex(ansi_bytes("Abcd")));
        EXPECT_TRUE(r.buf.rest_untouched(5));
        EXPECT_TRUE(r.buf.guards_intact());
    }
}

TEST(plugin_values, text_cut_to_every_buffer_size) {
    struct Row {
        const char *label;
        std::u16string title;
    };
    const Row rows[] = {
        {"ASCII", u"Abcdefghij"},
        // a cut through a pair would leave a lone high surrogate before the NUL
        {"astral", u"\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"},
        {"astral after one unit", u"a\U0001F600\U0001F600\U0001F600\U0001F600"},
        // two bytes a letter in UTF-8: a cut must not keep the lead byte alone
        {"Cyrillic", u"Война и мир"},
        {"CJK", u"漢字仮名交じり文"},
    };
    support::TempDir dir;
    Library lib;
    int n = 0;
    for (const Row &row : rows) {
        const fs::path file = dir.write("cut" + std::to_string(n++) + ".fb2", fb2(titled(row.title)));
        const auto full = static_cast<int32_t>(row.title.size() * 2 + 2);
        for (Entry e : both_entries) {
            if (e == Entry::ansi && !ansi_known(row.title)) continue;
            for (int32_t size = 0; size <= full + 3; ++size) {
                SCOPED_TRACE(std::string(row.label) + ", " + label(e) + ", BufSize " + std::to_string(size));
                Reply r = ask(lib, e, file, 3, size);
                expect_reply(r, want_text(e, row.title, size));
                if (e == Entry::wide && r.result == fld_widestring && size >= 4) {
                    const auto head = r.buf.head(static_cast<size_t>(size));
                    // the unit before the NUL, wherever the NUL is
                    for (size_t k = 2; k + 1 < head.size(); k += 2) {
                        if (head[k] != std::byte{0} || head[k + 1] != std::byte{0}) continue;
                        const unsigned last = std::to_integer<unsigned>(head[k - 2]) |
                                              std::to_integer<unsigned>(head[k - 1]) << 8;
                        EXPECT_FALSE(last >= 0xD800 && last <= 0xDBFF) << "a lone high surrogate before the NUL";
                        break;
                    }
                }
            }
        }
    }
}

TEST(plugin_values, no_sequence_leaves_the_buffer_alone) {
    support::TempDir dir;
    const fs::path file = dir.write("noseq.fb2", fb2({u"sf", u"Stanisław", u"Lem", u"Solaris", {}, {}}));
    Library lib;
    for (Entry e : both_entries) {
        for (int32_t field : {4, 5}) {
            for (int32_t size : {4, 64}) {
                SCOPED_TRACE(std::string(label(e)) + ", field " + std::to_string(field) + ", BufSize " +
                             std::to_string(size));
                Reply r = ask(lib, e, file, field, size);
                EXPECT_EQ(r.result, fld_empty);
                EXPECT_TRUE(r.buf.untouched());
                EXPECT_TRUE(r.buf.guards_intact());
            }
        }
    }
}

TEST(plugin_values, below_the_shortest_form_writes_nothing) {
    struct Row {
        Entry entry;
        int32_t field;
        int32_t size;
    };
    const Row rows[] = {
        {Entry::wide, 5, 3},         {Entry::wide, 5, 2},   {Entry::wide, 5, 1},  {Entry::wide, 5, 0},
        {Entry::wide, 5, -1},        {Entry::wide, 5, -4},  {Entry::ansi, 5, 3},  {Entry::ansi, 5, 1},
        {Entry::ansi, 5, 0},         {Entry::ansi, 5, -1},  {Entry::wide, 3, 1},  {Entry::wide, 3, 0},
        {Entry::wide, 3, -1},        {Entry::wide, 3, -2},  {Entry::ansi, 3, 0},  {Entry::ansi, 3, -1},
        {Entry::wide, 3, INT32_MIN}, {Entry::ansi, 3, INT32_MIN},
    };
    support::TempDir dir;
    const fs::path file = dir.write("small.fb2", fb2(foundation));
    Library lib;
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(label(row.entry)) + ", field " + std::to_string(row.field) + ", BufSize " +
                     std::to_string(row.size));
        Reply r = ask(lib, row.entry, file, row.field, row.size);
        EXPECT_EQ(r.result, fld_empty);
        EXPECT_TRUE(r.buf.guards_intact());
    }
    // one byte through the ANSI entry point holds the NUL alone; writing nothing is as good
    SCOPED_TRACE("ContentGetValue, title in 1 byte");
    Reply r = ask(lib, Entry::ansi, file, 3, 1);
    EXPECT_TRUE(r.buf.guards_intact());
    if (r.result == fld_string) {
        EXPECT_EQ(hex(r.buf.head(1)), "00 ");
    } else {
        EXPECT_EQ(r.result, fld_empty);
        EXPECT_TRUE(r.buf.untouched());
    }
}

TEST(plugin_values, null_arguments_give_empty) {
    support::TempDir dir;
    const fs::path file = dir.write("null.fb2", fb2(foundation));
    const auto wide = plugin_host::wide_name(file);
    const auto ansi = plugin_host::ansi_name(file);
    Library lib;
    for (int32_t field : {0, 3, 5}) {
        SCOPED_TRACE("field " + std::to_string(field));
        HostBuffer buf(big);
        EXPECT_EQ(lib.ContentGetValueW(nullptr, field, 0, buf.data(), big, 0), fld_empty);
        EXPECT_EQ(lib.ContentGetValue(nullptr, field, 0, buf.data(), big, 0), fld_empty);
        EXPECT_TRUE(buf.untouched());
        EXPECT_EQ(lib.ContentGetValueW(wide.c_str(), field, 0, nullptr, big, 0), fld_empty);
        EXPECT_EQ(lib.ContentGetValue(ansi.c_str(), field, 0, nullptr, big, 0), fld_empty);
        EXPECT_TRUE(buf.guards_intact());
    }
    // and the library still answers
    expect_book(lib, Entry::wide, file, foundation);
    expect_book(lib, Entry::ansi, file, foundation);
}

// ---- failed reads

namespace {

struct BadFile {
    const char *label;
    const char *content; // null: no such file; "/": a directory of that name
};

const BadFile bad_files[] = {
    {"not XML", "This is not a book.\n"},
    {"empty file", ""},
    {"no such file", nullptr},
    {"a directory", "/"},
    {"series number not an integer",
     "<FictionBook><description><title-info><book-title>T</book-title>"
     "<sequence name=\"S\" number=\"3a\"/></title-info></description></FictionBook>"},
    {"element where the title's text should be",
     "<FictionBook><description><title-info><genre>sf</genre>"
     "<book-title><emphasis>T</emphasis></book-title></title-info></description></FictionBook>"},
    {"broken after the values",
     "<FictionBook><description><title-info><genre>sf</genre><book-title>T</book-title>"
     "</title-info></description><body><p>unclosed</body></FictionBook>"},
};

// puts the bad file in place, returns its path
fs::path place(const support::TempDir &dir, const std::string &name, const BadFile &bad) {
    const fs::path p = dir.path() / name;
    if (!bad.content) return p;
    if (std::string_view(bad.content) == "/") {
        fs::create_directory(p);
        return p;
    }
    return dir.write(name, bad.content);
}

// replaces whatever is at p with a good book
void repair(const support::TempDir &dir, const fs::path &p, const Book &b) {
    std::error_code ec;
    if (fs::is_directory(p, ec)) fs::remove(p);
    dir.write(p.filename().string(), fb2(b));
}

} // namespace

TEST(plugin_failed, every_field_empty_and_nothing_written) {
    support::TempDir dir;
    Library lib;
    int n = 0;
    for (const BadFile &bad : bad_files) {
        const fs::path file = place(dir, "bad" + std::to_string(n++) + ".fb2", bad);
        for (Entry e : both_entries) {
            for (int32_t field = -1; field <= 6; ++field) {
                SCOPED_TRACE(std::string(bad.label) + ", " + label(e) + ", field " + std::to_string(field));
                Reply r = ask(lib, e, file, field);
                EXPECT_EQ(r.result, fld_empty);
                EXPECT_TRUE(r.buf.untouched());
                EXPECT_TRUE(r.buf.guards_intact());
            }
        }
    }
}

// ---- the cache

TEST(plugin_cache, six_fields_read_the_file_once) {
    enum class Change { rewrite, remove, spoil };
    const std::pair<const char *, Change> changes[] = {
        {"rewritten", Change::rewrite}, {"deleted", Change::remove}, {"no longer XML", Change::spoil}};
    support::TempDir dir;
    Library lib;
    int n = 0;
    for (auto [what, change] : changes) {
        for (Entry e : both_entries) {
            SCOPED_TRACE(std::string(what) + " after field 0, " + label(e));
            const fs::path file = dir.write("once" + std::to_string(n++) + ".fb2", fb2(foundation));
            expect_reply(ask(lib, e, file, 0), want(e, foundation, 0));
            switch (change) {
            case Change::rewrite: dir.write(file.filename().string(), fb2(second_foundation)); break;
            case Change::remove: fs::remove(file); break;
            case Change::spoil: dir.write(file.filename().string(), "<FictionBook"); break;
            }
            expect_book(lib, e, file, foundation);
        }
    }
}

TEST(plugin_cache, changed_file_keeps_its_first_values) {
    // both entry points share one entry per name
    const std::pair<Entry, Entry> rows[] = {
        {Entry::wide, Entry::wide}, {Entry::wide, Entry::ansi}, {Entry::ansi, Entry::wide}, {Entry::ansi, Entry::ansi}};
    const Book changed{u"other", {}, u"Someone Else", u"A much longer title than the first one", {}, {}};
    support::TempDir dir;
    Library lib;
    int n = 0;
    for (auto [first, then] : rows) {
        SCOPED_TRACE(std::string("first ") + label(first) + ", then " + label(then));
        const fs::path file = dir.write("kept" + std::to_string(n++) + ".fb2", fb2(foundation));
        expect_book(lib, first, file, foundation);
        dir.write(file.filename().string(), fb2(changed));
        expect_book(lib, then, file, foundation);
        expect_book(lib, first, file, foundation);
    }
}

TEST(plugin_cache, failed_file_is_read_again) {
    support::TempDir dir;
    Library lib;
    int n = 0;
    for (const BadFile &bad : bad_files) {
        for (Entry e : both_entries) {
            SCOPED_TRACE(std::string(bad.label) + ", " + label(e));
            const fs::path file = place(dir, "again" + std::to_string(n++) + ".fb2", bad);
            for (int32_t field : {3, 0}) {
                Reply r = ask(lib, e, file, field);
                EXPECT_EQ(r.result, fld_empty);
                EXPECT_TRUE(r.buf.untouched());
            }
            repair(dir, file, foundation);
            expect_book(lib, e, file, foundation);
        }
    }
}

TEST(plugin_cache, names_differing_in_case) {
    const std::pair<Entry, Entry> rows[] = {{Entry::wide, Entry::wide}, {Entry::ansi, Entry::wide},
                                            {Entry::wide, Entry::ansi}};
    support::TempDir dir;
    Library lib;
    int n = 0;
    for (auto [first, then] : rows) {
        SCOPED_TRACE(std::string(label(first)) + " for the upper-case name, " + label(then) + " for the lower-case");
        const std::string stem = "case" + std::to_string(n++);
        const fs::path upper = dir.write(stem + "A.FB2", fb2(foundation));
        expect_book(lib, first, upper, foundation);
        // on a case-insensitive file system this rewrites the same file
        const fs::path lower = dir.write(stem + "a.fb2", fb2(second_foundation));
#ifdef _WIN32
        // one file, one entry: still the first values
        expect_book(lib, then, lower, foundation);
#else
        // two files with keys compared exactly: each has its own values
        expect_book(lib, then, lower, second_foundation);
        expect_book(lib, then, upper, foundation);
#endif
    }
}

TEST(plugin_unload, frees_every_record_and_starts_over) {
    // leaks show under valgrind (a test of its own) and LeakSanitizer; here: unloading really empties the cache
    constexpr int books = 2000;
    support::TempDir dir;
    std::vector<fs::path> files;
    files.reserve(books);
    for (int i = 0; i < books; ++i) {
        Book b{u"g" + std::u16string(1, char16_t(u'a' + i % 26)), u"First", u"Last", u"Title", u"Series", i};
        files.push_back(dir.write("small" + std::to_string(i) + ".fb2", fb2(b)));
    }
    Library lib;
    for (int i = 0; i < books; ++i) {
        Reply r = ask(lib, i % 2 ? Entry::ansi : Entry::wide, files[i], i % 6);
        ASSERT_NE(r.result, fld_empty) << files[i];
    }
    for (int cycle = 0; cycle < 2; ++cycle) {
        SCOPED_TRACE("reload " + std::to_string(cycle));
        for (int i = 0; i < books; i += 100) dir.write(files[i].filename().string(), fb2(titled(u"Changed")));
        lib.reload();
        for (int i = 0; i < books; i += 100) {
            SCOPED_TRACE(files[i].filename().string());
            expect_book(lib, Entry::wide, files[i], titled(u"Changed"));
        }
        for (int i = 0; i < books; i += 100) dir.write(files[i].filename().string(), fb2(foundation));
    }
}

// ---- threads

TEST(plugin_stress, threads_agree_with_a_single_threaded_read) {
    constexpr int threads = 8, files = 200, hot = 8, per_thread = 4000;
    support::TempDir dir;
    std::vector<fs::path> paths;
    for (int i = 0; i < files; ++i) {
        const std::string name = "s" + std::to_string(i) + ".fb2";
        if (i % 25 == 3) {
            paths.push_back(dir.write(name, "<FictionBook><description>")); // fails, hot file 3 included
            continue;
        }
        Book b{u"g" + std::u16string(1, char16_t(u'a' + i % 7)), u"Имя", u"Last" + std::u16string(1, u'0' + i % 10),
               u"Title \U0001F600 " + std::u16string(1, char16_t(u'A' + i % 26)), {}, {}};
        if (i % 4) b.seq = u"Series", b.seq_n = i;
        paths.push_back(dir.write(name, fb2(b)));
    }

    struct Request {
        int file;
        int32_t field;
        Entry entry;
        int32_t size;
        auto key() const { return std::tuple(file, field, entry, size); }
    };
    struct Outcome {
        int32_t result;
        std::vector<std::byte> bytes;
        bool guards;
        bool operator==(const Outcome &) const = default;
    };
    std::vector<std::vector<Request>> plan(threads);
    std::mt19937 rng(20261208);
    for (int t = 0; t < threads; ++t) {
        // every thread starts on the same new files, then goes its own way
        for (int k = 0; k < hot; ++k)
            plan[t].push_back({k, static_cast<int32_t>(rng() % 6), both_entries[rng() % 2], big});
        while (plan[t].size() < per_thread) {
            const int file = rng() % 2 ? static_cast<int>(rng() % hot) : static_cast<int>(rng() % files);
            const auto field = static_cast<int32_t>(rng() % 8) - 1;
            const int32_t size = rng() % 10 < 7 ? big : static_cast<int32_t>(rng() % 24);
            plan[t].push_back({file, field, both_entries[rng() % 2], size});
        }
    }

    const auto run = [&](Library &lib, const Request &q) {
        Reply r = ask(lib, q.entry, paths[q.file], q.field, q.size);
        return Outcome{r.result, r.buf.head(static_cast<size_t>(std::max(q.size, 0))), r.buf.guards_intact()};
    };

    Library lib;
    std::vector<std::vector<Outcome>> got(threads);
    support::StartGate start(threads);
    const auto t0 = std::chrono::steady_clock::now();
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                plugin_host::ThreadScope com;
                got[t].reserve(plan[t].size());
                start.arrive_and_wait();
                for (const Request &q : plan[t]) got[t].push_back(run(lib, q));
            });
        }
    }
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();

    lib.reload();
    std::map<decltype(plan[0][0].key()), Outcome> reference;
    int mismatches = 0;
    for (int t = 0; t < threads; ++t) {
        for (size_t k = 0; k < plan[t].size(); ++k) {
            const Request &q = plan[t][k];
            auto it = reference.find(q.key());
            if (it == reference.end()) it = reference.emplace(q.key(), run(lib, q)).first;
            EXPECT_TRUE(got[t][k].guards) << "thread " << t << " request " << k << " wrote outside the buffer";
            if (got[t][k] == it->second) continue;
            if (++mismatches <= 10)
                ADD_FAILURE() << "thread " << t << " request " << k << ": file " << q.file << ", field " << q.field
                              << ", " << label(q.entry) << ", BufSize " << q.size << ": got " << got[t][k].result
                              << " [" << hex(got[t][k].bytes) << "], alone " << it->second.result << " ["
                              << hex(it->second.bytes) << "]";
        }
    }
    EXPECT_EQ(mismatches, 0);
    std::printf("[ figures  ] %d threads, %d files, %d requests in %.1f ms\n", threads, files, threads * per_thread,
                elapsed);
    testing::Test::RecordProperty("requests", threads * per_thread);
    testing::Test::RecordProperty("milliseconds", static_cast<int>(elapsed));
}
