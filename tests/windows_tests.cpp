// What only the Windows build has: COM on the host's thread, names the document object must not take
// for URLs, the cache key's ASCII-only case folding, the system ANSI code page, and the stream of
// filtered bytes the document object reads. Cases that only a
// real Windows answers are skipped under Wine with a note, never tuned to it.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "FB2_Info.h"
#include "book_stream.h"
#include "codepage.h"
#include "error.h"
#include "reach_filter_checks.h"
#include "plugin_host.h"
#include "support.h"
#include "xmldoc.h"

namespace fs = std::filesystem;
using plugin_host::Library;

namespace {

using support::under_wine;

std::string book(const std::string &title) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description><title-info>"
           "<genre>prose</genre><author><first-name>Ann</first-name><last-name>Lee</last-name></author>"
           "<book-title>" +
           title + "</book-title><sequence name=\"S\" number=\"7\"/></title-info></description><body/></FictionBook>";
}

std::string xml_text(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else out += c;
    }
    return out;
}

std::string hex(std::string_view bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
        out += b;
    }
    return out;
}

std::string utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

struct Reply {
    int32_t result = 0;
    std::string bytes; // the value as written, without its terminator
    bool untouched = true;
};

constexpr char fill = '\xA5';

// field 3 through the wide entry point, the way a host asks
Reply title_wide(const Library &lib, const std::wstring &name, int32_t size = 512) {
    std::string buf(static_cast<size_t>(size), fill);
    Reply r;
    r.result = lib.ContentGetValueW(name.c_str(), 3, 0, buf.data(), size, 0);
    r.untouched = buf == std::string(static_cast<size_t>(size), fill);
    if (r.result == fld_widestring) {
        size_t n = 0;
        while (n + 1 < buf.size() && (buf[n] || buf[n + 1])) n += 2;
        r.bytes = buf.substr(0, n);
    }
    return r;
}

// field 3 through the ANSI entry point, the name already in the ANSI code page
Reply title_ansi(const Library &lib, const std::string &name, int32_t size = 512) {
    std::string buf(static_cast<size_t>(size), fill);
    Reply r;
    r.result = lib.ContentGetValue(name.c_str(), 3, 0, buf.data(), size, 0);
    r.untouched = buf == std::string(static_cast<size_t>(size), fill);
    if (r.result == fld_string) r.bytes = buf.substr(0, buf.find('\0'));
    return r;
}

std::string utf16le(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

// the title of a read record, as UTF-16
std::u16string record_title(const FB2TitleInfo &info) {
    const auto block = info.GetFieldData(3);
    std::u16string out;
    for (size_t k = 0; 2 * k + 1 < block.size(); ++k) {
        const auto c = static_cast<char16_t>(std::to_integer<unsigned>(block[2 * k]) |
                                             std::to_integer<unsigned>(block[2 * k + 1]) << 8);
        if (!c) break;
        out += c;
    }
    return out;
}

template <class F> void on_thread_without_com(F f) {
    // a new thread has no apartment, and the thread running the tests is single-threaded, so there is
    // no multithreaded apartment for this one to fall into either
    std::thread t(f);
    t.join();
}

constexpr const char *class_id = ", ClassID: {F6D90F11-9C73-11D3-B32E-00C04F990BB4}";

} // namespace

// ---- COM belongs to the host

TEST(com, a_thread_without_com_cannot_create_the_document) {
    const support::TempDir dir;
    const fs::path file = dir.write("plain.fb2", book("Plain"));

    std::optional<std::string> message;
    on_thread_without_com([&] {
        try {
            FB2TitleInfo info(support::wide(file));
        } catch (const ReadError &e) {
            message = e.what();
        }
    });
    ASSERT_TRUE(message) << "read without COM on the thread";
    const std::string suffix = class_id;
    ASSERT_GE(message->size(), suffix.size()) << *message;
    EXPECT_EQ(message->substr(message->size() - suffix.size()), suffix) << *message;
    if (under_wine()) {
        // Wine's FormatMessage has no text for CO_E_NOTINITIALIZED, so the code stands in its place
        std::printf("[ note     ] under Wine the status text is \"%s\"\n",
                    message->substr(0, message->size() - suffix.size()).c_str());
    } else {
        EXPECT_EQ(*message, std::string("CoInitialize has not been called") + class_id);
    }

    // with COM on the tests' thread the same file reads: the failure was the thread's, not the file's
    EXPECT_EQ(record_title(FB2TitleInfo(support::wide(file))), u"Plain");
}

TEST(com, entry_points_on_a_thread_without_com_give_empty) {
    const support::TempDir dir;
    const fs::path file = dir.write("plain.fb2", book("Plain"));
    const std::wstring wide = file.wstring();
    const std::string ansi = file.string();
    const struct {
        const char *label;
        bool wide_entry;
    } rows[] = {{"ContentGetValueW", true}, {"ContentGetValue", false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        Library lib;
        Reply r;
        on_thread_without_com([&] { r = row.wide_entry ? title_wide(lib, wide) : title_ansi(lib, ansi); });
        EXPECT_EQ(r.result, fld_empty);
        EXPECT_TRUE(r.untouched) << "wrote into the buffer: " << hex(r.bytes);
        // nothing was cached for the failure: on a thread with COM the file is read
        r = row.wide_entry ? title_wide(lib, wide) : title_ansi(lib, ansi);
        EXPECT_EQ(r.result, row.wide_entry ? fld_widestring : fld_string);
        EXPECT_EQ(r.bytes, row.wide_entry ? utf16le(u"Plain") : "Plain");
    }
}

// ---- names are names, not URLs

TEST(file_names, the_file_named_is_the_file_read) {
    const struct {
        const char *label;
        std::u16string name;
        std::u16string decoy; // what the name would open if it were taken as a URL; empty for none
    } rows[] = {
        {"percent escape", u"%41.fb2", u"A.fb2"},
        {"fragment mark", u"a#b.fb2", u"a"},
        {"query mark lookalike and a bare percent", u"100% ok.fb2", u""},
        {"escaped space", u"two%20words.fb2", u"two words.fb2"},
        {"Cyrillic", u"Книга.fb2", u""},
        {"Japanese", u"日本語の本.fb2", u""},
        {"outside the BMP", u"clef 𝄞.fb2", u""},
        {"URL punctuation", u"a;b,c=d+e&f@g$h.fb2", u""},
    };
    const support::TempDir dir;
    Library lib;
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        // every row in its own folder: decoys must not collide
        const fs::path folder = dir.path() / ("row" + std::to_string(n++));
        fs::create_directories(folder);
        const std::string title = "Title of " + utf8(row.name);
        const fs::path file = folder / fs::path(row.name);
        {
            FILE *f = _wfopen(file.c_str(), L"wb");
            ASSERT_TRUE(f) << "cannot create the book";
            const std::string text = book(xml_text(title));
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
        if (!row.decoy.empty()) {
            FILE *f = _wfopen((folder / fs::path(row.decoy)).c_str(), L"wb");
            ASSERT_TRUE(f);
            const std::string text = book("Decoy");
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }

        try {
            FB2TitleInfo info(file.u16string());
            EXPECT_EQ(utf8(record_title(info)), title) << "through the reader";
        } catch (const ReadError &e) {
            ADD_FAILURE() << "the reader failed: " << e.what();
        }
        const Reply r = title_wide(lib, file.wstring());
        EXPECT_EQ(r.result, fld_widestring);
        EXPECT_EQ(r.bytes, utf16le(u"Title of " + row.name)) << "through ContentGetValueW";
    }
}

TEST(file_names, only_regular_files_are_read) {
    const support::TempDir dir;
    fs::create_directories(dir.path() / "folder.fb2");
    // a pipe with a server waiting: opening it succeeds, and a read from it would wait for the server
    const std::wstring pipe = L"\\\\.\\pipe\\tovrel-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const struct {
        const char *label;
        std::wstring name;
    } rows[] = {
        {"a folder", (dir.path() / "folder.fb2").wstring()},
        {"the null device", L"NUL"},
        {"the null device by its device path", L"\\\\.\\NUL"},
        {"a named pipe", pipe},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        try {
            FB2TitleInfo info(std::u16string(reinterpret_cast<const char16_t *>(row.name.c_str()), row.name.size()));
            ADD_FAILURE() << "read";
        } catch (const ReadError &e) {
            const std::string message = e.what();
            const std::string want = ": not a regular file";
            EXPECT_TRUE(message.size() >= want.size() && message.substr(message.size() - want.size()) == want)
                << message;
        }
    }
    CloseHandle(server);
}

// ---- the cache key folds ASCII letters only

TEST(cache_keys, only_ascii_letters_are_folded) {
    const struct {
        const char *label;
        std::u16string first, then; // two names of one file
        bool one_entry;
    } rows[] = {
        {"upper and lower ASCII", u"BOOK.FB2", u"book.fb2", true},
        {"mixed ASCII", u"Book.Fb2", u"bOOK.fB2", true},
        {"folder name case", u"Shelf\\book.fb2", u"sHELF\\book.fb2", true},
        {"Latin-1 letter", u"\u00C4rger.fb2", u"\u00E4rger.fb2", false},
        {"Cyrillic letter", u"\u0416\u0443\u043A.fb2", u"\u0436\u0443\u043A.fb2", false},
        {"Greek letter", u"\u03A9mega.fb2", u"\u03C9mega.fb2", false},
    };
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        const support::TempDir dir;
        const fs::path folder = dir.path() / ("row" + std::to_string(n++));
        fs::create_directories(folder / "Shelf");
        const fs::path first = folder / fs::path(row.first);
        const fs::path then = folder / fs::path(row.then);
        Library lib;

        FILE *f = _wfopen(first.c_str(), L"wb");
        ASSERT_TRUE(f);
        std::string text = book("First");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        ASSERT_EQ(title_wide(lib, first.wstring()).bytes, utf16le(u"First"));

        // the same file under its other name, now with another title: a shared entry still has the first
        f = _wfopen(then.c_str(), L"wb");
        ASSERT_TRUE(f) << "the file system does not know the other name";
        text = book("Second");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        if (!fs::exists(first)) {
            // a file system that tells the two names apart (Wine on a case-sensitive folder) made a second file
            std::printf("[ note     ] %s: the file system keeps both names apart; skipped\n", row.label);
            continue;
        }
        const Reply r = title_wide(lib, then.wstring());
        EXPECT_EQ(r.result, fld_widestring);
        EXPECT_EQ(r.bytes, utf16le(row.one_entry ? u"First" : u"Second"));
    }
}

// ---- the ANSI code page

// These need the system ANSI code page they are written for; CTest runs them once more with Wine set to it.
#define REQUIRE_CODE_PAGE(cp)                                                                                          \
    do {                                                                                                               \
        if (GetACP() != (cp)) GTEST_SKIP() << "needs ANSI code page " << (cp) << "; this system has " << GetACP();     \
    } while (0)

TEST(code_page_1251, titles_come_back_in_the_ansi_code_page) {
    REQUIRE_CODE_PAGE(1251u);
    const struct {
        const char *label;
        std::u16string title;
        std::string ansi;
    } rows[] = {
        {"Cyrillic", u"Война и мир", "\xC2\xEE\xE9\xED\xE0 \xE8 \xEC\xE8\xF0"},
        {"yo and its capital", u"Ёлка, ёж", "\xA8\xEB\xEA\xE0, \xB8\xE6"},
        {"Ukrainian letters", u"Київ ґ", "\xCA\xE8\xBF\xE2 \xB4"},
        {"punctuation the code page has", u"№ 5 — «€»", "\xB9 5 \x97 \xAB\x88\xBB"},
        {"marks fit to the bare letter", u"café Ärø", "cafe Aro"},
        {"no counterpart: the default character", u"中文 ☃", "?? ?"},
        {"outside the BMP: each half of the pair", u"𝄞", "??"},
    };
    const support::TempDir dir;
    Library lib;
    int n = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path file = dir.write("t" + std::to_string(n++) + ".fb2", book(utf8(row.title)));
        const Reply r = title_ansi(lib, file.string());
        EXPECT_EQ(r.result, fld_string);
        EXPECT_EQ(hex(r.bytes), hex(row.ansi));
    }
}

TEST(code_page_1251, ansi_file_names_are_widened) {
    REQUIRE_CODE_PAGE(1251u);
    const support::TempDir dir;
    dir.write("Книга.fb2", book("Named in Cyrillic"));
    Library lib;
    // the folder is ASCII under the test's temporary folder; the name's bytes are windows-1251
    const std::string name = dir.path().string() + "\\\xCA\xED\xE8\xE3\xE0.fb2";
    const Reply r = title_ansi(lib, name);
    EXPECT_EQ(r.result, fld_string);
    EXPECT_EQ(r.bytes, "Named in Cyrillic");
}

TEST(code_page_932, a_cut_never_splits_a_double_byte_character) {
    REQUIRE_CODE_PAGE(932u);
    // ぁ is 82 9F: its trail byte is also a lead byte, so only a scan from the start finds the boundary
    const std::string text = "\x82\x9F\x88\x9F" "A" "\x82\xA0";
    const struct {
        size_t limit, fit;
    } rows[] = {{0, 0}, {1, 0}, {2, 2}, {3, 2}, {4, 4}, {5, 5}, {6, 5}, {7, 7}, {8, 7}};
    for (const auto &row : rows) {
        SCOPED_TRACE("limit " + std::to_string(row.limit));
        EXPECT_EQ(codepage::fit(text, row.limit), row.fit);
    }
    EXPECT_EQ(codepage::widen(text), u"ぁ亜Aあ");
    EXPECT_EQ(hex(codepage::narrow(u"ぁ亜Aあ")), hex(text));
}

TEST(code_page_932, titles_through_the_ansi_entry_point) {
    REQUIRE_CODE_PAGE(932u);
    // the text is cut as UTF-16 to the buffer first, then narrowed: a double-byte character never splits
    const struct {
        int32_t size;
        std::string ansi;
    } rows[] = {{2, ""}, {3, ""}, {4, "\x82\x9F"}, {5, "\x82\x9F"}, {6, "\x82\x9F\x88\x9F"}, {7, "\x82\x9F\x88\x9F"},
                {8, "\x82\x9F\x88\x9F" "A"}, {64, "\x82\x9F\x88\x9F" "A" "\x82\xA0"}};
    const support::TempDir dir;
    const fs::path file = dir.write("jp.fb2", book(utf8(u"ぁ亜Aあ")));
    Library lib;
    for (const auto &row : rows) {
        SCOPED_TRACE("BufSize " + std::to_string(row.size));
        const Reply r = title_ansi(lib, file.string(), row.size);
        EXPECT_EQ(r.result, fld_string);
        EXPECT_EQ(hex(r.bytes), hex(row.ansi));
    }
}

TEST(code_page_932, two_spellings_of_one_character_name_one_file) {
    REQUIRE_CODE_PAGE(932u);
    // ≒ is 81 E0, and 87 90 in the NEC row widens to it too: the system's ANSI file functions open
    // the same file for both, and so does the ANSI entry point
    const support::TempDir dir;
    dir.write("\xE2\x89\x92.fb2", book("Near"));
    Library lib;
    for (const char *bytes : {"\x81\xE0", "\x87\x90"}) {
        SCOPED_TRACE(hex(bytes));
        const std::string name = dir.path().string() + "\\" + bytes + ".fb2";
        ASSERT_EQ(codepage::widen(name).substr(codepage::widen(name).size() - 5), u"\u2252.fb2");
        const Reply r = title_ansi(lib, name);
        EXPECT_EQ(r.result, fld_string);
        EXPECT_EQ(r.bytes, "Near");
    }
}

// ---- what the platform's document object keeps in its tree

TEST(document, an_entity_reference_is_a_node_without_a_value) {
    // The platform's object keeps a reference to a declared entity as a node of its own, whose value is
    // null: the read fails as for an element (the POSIX layer expands it to text instead).
    const std::string dtd = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<!DOCTYPE FictionBook [<!ENTITY who \"Tolstoy\"><!ENTITY em \"<emphasis>x</emphasis>\">]>\n";
    const struct {
        const char *label;
        std::string title;
    } rows[] = {
        {"text entity first", "&who;"},
        {"element entity first", "&em;"},
        {"text before the entity", "By &who;"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        std::string doc = book(row.title);
        doc.replace(0, doc.find('\n') + 1, dtd);
        FB2TitleInfo info;
        std::optional<std::string> failure;
        try {
            info.fill_from_document(doc);
        } catch (const ReadError &e) {
            failure = e.what();
        }
        const bool starts_with_reference = row.title[0] == '&';
        if (starts_with_reference) {
            ASSERT_TRUE(failure) << "read " << utf8(record_title(info));
            EXPECT_EQ(*failure, "Could not convert variant of type (Null) into type (OleStr)");
        } else {
            ASSERT_FALSE(failure) << *failure;
            EXPECT_EQ(utf8(record_title(info)), "By ");
        }
    }
}

TEST(document, broken_books_on_many_threads_each_fail_with_their_own_message) {
    // Each thread loads its own kind of broken book over and over; every failure must be that book's
    // own, as read alone, and no load may disturb another's (Wine's object shares its last error).
    const std::vector<std::string> broken = {
        book("Cut").substr(0, 120),
        "<?xml version=\"1.0\"?>\n<FictionBook><description></FictionBook>",
        "<?xml version=\"1.0\"?>\n<FictionBook a=\"1\" a=\"2\"/>",
        "<?xml version=\"1.0\"?>\n<FictionBook>&undeclared;</FictionBook>",
        "<?xml version=\"1.0\"?>\n<FictionBook><1/></FictionBook>",
        "<?xml version=\"1.0\"?>\n<FictionBook></fictionbook>",
    };
    const auto failure_of = [](const std::string &doc) {
        try {
            FB2TitleInfo info;
            info.fill_from_document(doc);
        } catch (const ReadError &e) {
            return std::string(e.what());
        }
        return std::string("(read)");
    };
    std::vector<std::string> alone;
    for (const std::string &doc : broken) alone.push_back(failure_of(doc));

    constexpr int rounds = 2000;
    std::vector<int> wrong(broken.size());
    std::vector<std::thread> threads;
    for (size_t t = 0; t < broken.size(); ++t) {
        threads.emplace_back([&, t] {
            if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
                wrong[t] = -1;
                return;
            }
            for (int i = 0; i < rounds; ++i)
                if (failure_of(broken[t]) != alone[t]) ++wrong[t];
            CoUninitialize();
        });
    }
    for (std::thread &t : threads) t.join();
    for (size_t t = 0; t < broken.size(); ++t) {
        SCOPED_TRACE(alone[t]);
        EXPECT_NE(alone[t], "(read)");
        EXPECT_EQ(wrong[t], 0) << "of " << rounds << " loads";
    }
}

// ---- the stream the document object reads: the book through the reach filter

namespace {

using namespace std::string_literals;

struct Drained {
    std::string bytes;
    bool short_only_at_the_end = true; // S_FALSE, and fewer bytes, only on the last read
    bool failed = false;
};

// everything the stream gives from where it is, read size bytes at a time
Drained drain(IStream *stream, ULONG size) {
    Drained d;
    std::string buf(size, '\0');
    for (;;) {
        ULONG got = 0;
        const HRESULT status = stream->Read(buf.data(), size, &got);
        if (FAILED(status)) {
            d.failed = true;
            return d;
        }
        d.bytes.append(buf.data(), got);
        if (status == S_FALSE || got < size) {
            ULONG after = 1;
            d.short_only_at_the_end = status == S_FALSE && got < size &&
                                      stream->Read(buf.data(), size, &after) == S_FALSE && after == 0;
            return d;
        }
    }
}

// the filter's rules as the document object's stream has them
filter::Rules rules(const filter::Reach *reach = &filter_checks::book_reach()) {
    return filter_checks::rules(reach, filter::Columns::utf16_units);
}

std::unique_ptr<platform::File> adopt(HANDLE h) {
    return std::make_unique<platform::File>(reinterpret_cast<intptr_t>(h), "a handle of the test's");
}

struct StreamRef {
    xmldoc::BookStream *p;
    ~StreamRef() { p->Release(); }
    xmldoc::BookStream *operator->() const { return p; }
};

// a book whose images make up most of it, with a CR, an LF and CRLF ends and a line held across pieces
std::string book_with_images() {
    std::string images;
    for (int k = 0; k < 3; ++k) {
        images += "<binary id=\"i" + std::to_string(k) + "\" content-type=\"image/png\">\n";
        for (int line = 0; line < 200; ++line)
            images += std::string(76, static_cast<char>('A' + (line + k) % 26)) + (k == 1 ? "\r\n" : k == 2 ? "\r" : "\n");
        images += "QUJD==</binary>\n";
    }
    std::string doc = book("Images");
    doc.insert(doc.rfind("</FictionBook>"), images);
    return doc;
}

LONGLONG seek(IStream *s, LONGLONG move, DWORD origin, HRESULT *status = nullptr) {
    LARGE_INTEGER m;
    m.QuadPart = move;
    ULARGE_INTEGER at{};
    const HRESULT r = s->Seek(m, origin, &at);
    if (status) *status = r;
    return FAILED(r) ? -1 : static_cast<LONGLONG>(at.QuadPart);
}

std::vector<std::u16string_view> agreement_queries() {
    std::vector<std::u16string_view> q;
    for (int32_t i = 0; i < ContentFieldCount; ++i) q.push_back(ContentFields[i].f_xpath);
    q.push_back(u"/FictionBook/binary/@id");
    q.push_back(u"/FictionBook/body/p");
    q.push_back(u"/FictionBook/description/title-info/annotation");
    return q;
}

// the answers, or the failure's message
std::string outcome(const std::function<std::vector<xmldoc::Answer>()> &read) {
    try {
        std::string out;
        for (const xmldoc::Answer &a : read())
            out += std::to_string(static_cast<int>(a.child)) + " [" + utf8(a.value) + "] ";
        return out;
    } catch (const ReadError &e) {
        return std::string("fails: ") + e.what();
    }
}

} // namespace

TEST(book_stream, reads_what_the_filter_gives_in_any_sizes) {
    const support::TempDir dir;
    const struct {
        const char *label;
        std::string doc;
    } docs[] = {
        {"a book with images", book_with_images()},
        {"an empty file", ""},
        {"one byte", "<"},
        {"a book without images", book("Plain")},
    };
    for (const auto &d : docs) {
        SCOPED_TRACE(d.label);
        const fs::path file = dir.write("stream.fb2", d.doc);
        for (const filter::Reach *reach : {&filter_checks::book_reach(), static_cast<const filter::Reach *>(nullptr)}) {
            SCOPED_TRACE(reach ? "filtered" : "unfiltered");
            const std::string want = filter_checks::filtered(d.doc, {0}, reach);
            if (reach && d.doc.size() > 10000) {
                EXPECT_LT(want.size(), d.doc.size() / 10);
            }
            for (const ULONG size : {1ul, 3ul, 4096ul, 65536ul, 1ul << 20}) {
                SCOPED_TRACE("reads of " + std::to_string(size));
                for (const size_t piece : {size_t{0}, size_t{1}, size_t{7}, size_t{4099}, size_t{1} << 30}) {
                    SCOPED_TRACE("memory in pieces of " + std::to_string(piece));
                    if (piece == 1 && size < 4096 && d.doc.size() > 10000) continue; // slow and no wiser
                    const StreamRef s{xmldoc::BookStream::over_memory(d.doc, piece, rules(reach))};
                    const Drained got = drain(s.p, size);
                    EXPECT_FALSE(got.failed);
                    EXPECT_TRUE(got.bytes == want) << got.bytes.size() << " bytes, not " << want.size();
                    EXPECT_TRUE(got.short_only_at_the_end);
                }
                const HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
                ASSERT_NE(h, INVALID_HANDLE_VALUE);
                const StreamRef s{xmldoc::BookStream::over_file(adopt(h), rules(reach))};
                const Drained got = drain(s.p, size);
                EXPECT_FALSE(got.failed);
                EXPECT_TRUE(got.bytes == want) << "from the file: " << got.bytes.size() << " bytes, not " << want.size();
                EXPECT_TRUE(got.short_only_at_the_end);
            }
        }
    }
}

TEST(book_stream, seek_and_stat_count_the_bytes_read) {
    const std::string doc = book_with_images();
    const std::string want = filter_checks::filtered(doc, {0});
    const auto n = static_cast<LONGLONG>(want.size());
    const StreamRef s{xmldoc::BookStream::over_memory(doc, 1000, rules())};
    const auto read = [&](ULONG size) {
        std::string buf(size, '\0');
        ULONG got = 0;
        s->Read(buf.data(), size, &got);
        return buf.substr(0, got);
    };

    EXPECT_EQ(read(100), want.substr(0, 100));
    STATSTG stat;
    ASSERT_EQ(s->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, want.size());
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
    // asking the size moves nothing
    EXPECT_EQ(seek(s.p, 0, STREAM_SEEK_CUR), 100);
    EXPECT_EQ(read(50), want.substr(100, 50));

    const struct {
        const char *label;
        LONGLONG move;
        DWORD origin;
        LONGLONG at;
    } moves[] = {
        {"on from here", 1000, STREAM_SEEK_CUR, 1150},
        {"back from here", -1100, STREAM_SEEK_CUR, 1150 + 64 - 1100},
        {"to a place", n / 2, STREAM_SEEK_SET, n / 2},
        {"to the start", 0, STREAM_SEEK_SET, 0},
        {"back from the end", -3, STREAM_SEEK_END, n - 3},
        {"the end", 0, STREAM_SEEK_END, n},
        {"past the end", 10, STREAM_SEEK_END, n + 10},
        {"back from past the end", -(n + 10) + 7, STREAM_SEEK_CUR, 7},
    };
    for (const auto &m : moves) {
        SCOPED_TRACE(m.label);
        EXPECT_EQ(seek(s.p, m.move, m.origin), m.at);
        const std::string got = read(64);
        EXPECT_EQ(got, m.at < n ? want.substr(static_cast<size_t>(m.at), 64) : "");
        EXPECT_EQ(seek(s.p, 0, STREAM_SEEK_CUR), m.at + static_cast<LONGLONG>(got.size()));
    }
    HRESULT status = S_OK;
    seek(s.p, -1, STREAM_SEEK_SET, &status);
    EXPECT_EQ(status, STG_E_INVALIDFUNCTION) << "before the start";
    seek(s.p, 0, 7, &status);
    EXPECT_EQ(status, STG_E_INVALIDFUNCTION) << "an origin that is none";
    for (const DWORD origin : {DWORD{STREAM_SEEK_CUR}, DWORD{STREAM_SEEK_END}}) {
        seek(s.p, INT64_MIN, origin, &status);
        EXPECT_EQ(status, STG_E_INVALIDFUNCTION) << "the most negative move from " << origin;
    }
    // far past the end is a position; past what a position can hold is not
    EXPECT_EQ(seek(s.p, INT64_MAX, STREAM_SEEK_SET), INT64_MAX);
    seek(s.p, INT64_MAX, STREAM_SEEK_CUR, &status);
    EXPECT_EQ(status, S_OK);
    seek(s.p, 2, STREAM_SEEK_CUR, &status);
    EXPECT_EQ(status, STG_E_INVALIDFUNCTION) << "a move past what a position can hold";

    // what the object may do with the whole: copy it out
    IStream *copy = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &copy), S_OK);
    seek(s.p, 0, STREAM_SEEK_SET);
    ULARGE_INTEGER all, in{}, out{};
    all.QuadPart = ~0ull;
    EXPECT_EQ(s->CopyTo(copy, all, &in, &out), S_OK);
    EXPECT_EQ(in.QuadPart, want.size());
    EXPECT_EQ(out.QuadPart, want.size());
    copy->Release();
}

TEST(book_stream, copy_to_passes_on_what_a_failing_read_gave) {
    // a pipe ends in a failing read: the bytes of the read that meets it were given all the same
    HANDLE read_end = nullptr, write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 1u << 20));
    const std::string doc = book_with_images() + book_with_images();
    ASSERT_GT(doc.size(), xmldoc::BookStream::file_piece);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(write_end, doc.data(), static_cast<DWORD>(doc.size()), &put, nullptr));
    ASSERT_EQ(put, doc.size());
    CloseHandle(write_end);
    const StreamRef s{xmldoc::BookStream::over_file(adopt(read_end), rules())};
    IStream *copy = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &copy), S_OK);
    ULARGE_INTEGER all, in{}, out{};
    all.QuadPart = ~0ull;
    EXPECT_TRUE(FAILED(s->CopyTo(copy, all, &in, &out)));
    EXPECT_GT(in.QuadPart, 0u);
    EXPECT_EQ(out.QuadPart, in.QuadPart);
    STATSTG stat;
    ASSERT_EQ(copy->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, in.QuadPart);
    copy->Release();
}

TEST(book_stream, a_detached_stream_reads_nothing_more) {
    std::string doc = book("Gone");
    const StreamRef s{xmldoc::BookStream::over_memory(doc, 8, rules())};
    char buf[16];
    ULONG got = 0;
    EXPECT_EQ(s->Read(buf, sizeof buf, &got), S_OK);
    EXPECT_EQ(got, sizeof buf);
    s->detach();
    doc.assign(doc.size(), 'x');
    EXPECT_EQ(s->Read(buf, sizeof buf, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(seek(s.p, 0, STREAM_SEEK_SET), 0);
    EXPECT_EQ(s->Read(buf, sizeof buf, &got), S_FALSE);
    EXPECT_EQ(got, 0u);
}

// The object must answer a book the same whether it is given the images or not: every answer, and
// every failure's message with its line and column (Wine's object names neither, so there the POSIX
// suite's check of the filter against Expat's faults is what holds lines in place).
TEST(reach_filter, answers_agree_with_and_without_the_filter) {
    const auto with_images = [](const std::string &doc, const std::string &images) {
        std::string out = doc;
        out.insert(out.rfind("</FictionBook>"), images);
        return out;
    };
    const std::string image = "<binary id=\"cover.jpg\" content-type=\"image/jpeg\">\n/9j/4AAQSkZJRgABAQEASABIAAD/\n"
                              "2wBDAAoHBwgHBgoICAgLCgoLDhgQDg0NDh0VFhEYIx8lJCIf\nJCIf==</binary>\n";
    const std::string plain = book("War and Peace");
    const std::string cp1251 = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n" +
                               book("\xC2\xEE\xE9\xED\xE0 \xE8 \xEC\xE8\xF0").substr(book("").find('\n') + 1);
    std::string title_last = plain;
    {
        const size_t at = title_last.find("<description>");
        title_last.insert(at, image);
    }
    const struct {
        const char *label;
        std::string doc;
    } rows[] = {
        {"images after the body", with_images(plain, image + image)},
        {"images before the description", title_last},
        {"images in windows-1251", with_images(cp1251, image)},
        {"images in koi8-r", std::regex_replace(with_images(cp1251, image), std::regex("windows-1251"), "koi8-r")},
        {"CRLF lines", with_images(plain, std::regex_replace(image, std::regex("\n"), "\r\n"))},
        {"CR lines", with_images(plain, std::regex_replace(image, std::regex("\n"), "\r"))},
        {"a line of 10000 characters", with_images(plain, "<binary>" + std::string(10000, 'Q') + "\n</binary>")},
        {"an image on one line", with_images(plain, "<binary>" + std::string(5000, 'Q') + "</binary>")},
        {"an image as the title", book("<binary>QUJD\nQUJD</binary>")},
        {"an image in the title's text", book("QUJD\n<binary>QUJD\n</binary>")},
        {"an empty image", with_images(plain, "<binary/><binary></binary>")},
        {"an element in an image", with_images(plain, "<binary>QUJD\n<b>x</b>QUJD\n</binary>")},
        {"images in markup", with_images(plain, "<!-- <binary>QUJD\n --><p><![CDATA[<binary>QUJD\n]]></p>"
                                                "<?pi <binary>QUJD\n?>")},
        {"an internal subset",
         with_images(plain, image).insert(plain.find('\n') + 1, "<!DOCTYPE FictionBook [<!ENTITY e \"<binary>QUJD&#10;\">"
                                                                "<!ATTLIST binary id CDATA 'x'>]>\n")},
        {"an ampersand in an image", with_images(plain, "<binary>QUJD\nQU&amp;JD\n</binary>")},
        {"an undefined entity in an image", with_images(plain, "<binary>QUJD\nQU&nbsp;JD\n</binary>")},
        {"a byte above ASCII in an image", with_images(plain, "<binary>QUJD\nQU\xC3\xA9JD\n</binary>")},
        {"a broken character in an image", with_images(plain, "<binary>QUJD\nQU\xC3JD\n</binary>")},
        {"a control character in an image", with_images(plain, "<binary>QUJD\nQU\x01JD\n</binary>")},
        {"a NUL in an image", with_images(plain, "<binary>QUJD\nQU"s + '\0' + "JD\n</binary>")},
        {"']]>' in an image", with_images(plain, "<binary>QUJD\nQU]]>JD\n</binary>")},
        {"a fault after the images", with_images(plain, image + "</x>")},
        {"a fault on the last line of an image", with_images(plain, "<binary>QUJD\nQUJD</x>")},
        {"cut inside an image", with_images(plain, image).substr(0, with_images(plain, image).size() - 40)},
        {"cut right after a line of an image", with_images(plain, image).substr(0, with_images(plain, image).rfind("JCIf"))},
        {"a fault before the images", with_images(plain, image).replace(plain.find("<body"), 5, "<body <")},
        {"a fault after text on its line", with_images(plain, "<p>War \xD0\x96 and peace, \xE2\x80\x94 \xF0\x9F\x93\x9A</x>")},
        {"a fault after a CR and text", with_images(plain, "<p>text\rmore text\n and more</x>")},
        {"a reference in text", with_images(plain, "<p>a &amp; b &nbsp; c</p>")},
        {"a one-line image and a fault after it", with_images(plain, "<binary>" + std::string(5000, 'Q') + "</binary>&x;")},
        {"UTF-16 with images", [&] {
             const std::string ascii = with_images(book("T").substr(book("").find('\n') + 1), image);
             std::string out = "\xFF\xFE";
             for (const char c : ascii) out += std::string{c, '\0'};
             return out;
         }()},
    };
    const auto queries = agreement_queries();
    const support::TempDir dir;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path file = dir.write("agree.fb2", row.doc);
        const std::string without =
            outcome([&] { return xmldoc::first_children(file.u16string(), queries, {.filter = xmldoc::Filter::none}); });
        const std::string with = outcome([&] { return xmldoc::first_children(file.u16string(), queries, {}); });
        EXPECT_EQ(with, without) << "from a file";
        for (const size_t chunk : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}}) {
            SCOPED_TRACE("from memory in pieces of " + std::to_string(chunk));
            EXPECT_EQ(outcome([&] {
                          return xmldoc::first_children_in(row.doc, queries, chunk, {});
                      }),
                      without);
        }
    }
}

TEST(reach_filter, corpus_books_agree_with_and_without_the_filter) {
    const fs::path dir = support::corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "no real-book corpus beside the checkout (../shared/corpus/real)";
    const auto queries = agreement_queries();
    int books = 0, failing = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".fb2") continue;
        SCOPED_TRACE(entry.path().filename().string());
        const std::u16string path = entry.path().u16string();
        const std::string without = outcome([&] { return xmldoc::first_children(path, queries, {.filter = xmldoc::Filter::none}); });
        const std::string with = outcome([&] { return xmldoc::first_children(path, queries, {}); });
        EXPECT_EQ(with, without);
        ++books;
        failing += without.rfind("fails: ", 0) == 0;
    }
    std::printf("[ corpus   ] %d books answered alike with and without the filter (%d of them failing alike)\n", books,
                failing);
}
