// Hosts that pass what they should not: null pointers, sizes that are negative, tiny or odd, indexes at the
// ends of the integer range, names that are huge or not valid text, and loads and unloads without end.
// Every host buffer has guard bytes on both sides.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "plugin_host.h"
#include "support.h"

namespace fs = std::filesystem;
using plugin_host::HostBuffer;
using plugin_host::Library;

// LeakSanitizer's switch for what the calling thread allocates from here on, where it runs
extern "C" void __lsan_disable() __attribute__((weak));

namespace {

const int32_t hostile_sizes[] = {INT_MIN, -4096, -2, -1, 0, 1, 2, 3, 4, 5, 7, 9, 11, 13};
const int32_t hostile_fields[] = {INT_MIN, INT_MIN + 1, -1000, -1, 6, 7, 1000, INT_MAX - 1, INT_MAX};

std::string book() {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<FictionBook><description><title-info><genre>sf</genre>"
           "<author><first-name>Ann</first-name><last-name>Lee</last-name></author>"
           "<book-title>T\xC3\xA9st \xF0\x9F\x93\x96 tide</book-title><sequence name=\"Sea\" number=\"-7\"/>"
           "</title-info></description></FictionBook>\n";
}

// ends with NUL, within the buffer
bool terminated(const HostBuffer &buf, size_t unit) {
    const auto bytes = buf.head(static_cast<size_t>(buf.size()));
    for (size_t k = 0; k + unit <= bytes.size(); k += unit) {
        bool zero = true;
        for (size_t j = 0; j < unit; ++j) zero = zero && bytes[k + j] == std::byte{0};
        if (zero) return true;
    }
    return false;
}

TEST(hostile_hosts, null_pointers_in_every_pointer_argument) {
    Library lib;
    support::TempDir dir;
    const fs::path p = dir.write("a.fb2", book());
    const auto wide = plugin_host::wide_name(p);
    const auto ansi = plugin_host::ansi_name(p);
    HostBuffer name(64), units(64), value(64);

    struct Row {
        const char *label;
        std::function<int32_t()> call;
        int32_t want;
    };
    const Row rows[] = {
        {"field name buffer", [&] { return lib.ContentGetSupportedField(0, nullptr, units.chars(), 64); }, fld_widestring},
        {"field unit buffer", [&] { return lib.ContentGetSupportedField(0, name.chars(), nullptr, 64); }, fld_widestring},
        {"both field buffers", [&] { return lib.ContentGetSupportedField(0, nullptr, nullptr, 64); }, fld_widestring},
        {"detect buffer",
         [&] {
             lib.ContentGetDetectString(nullptr, 64);
             return 0;
         },
         0},
        {"wide file name", [&] { return lib.ContentGetValueW(nullptr, 3, 0, value.data(), 64, 0); }, fld_empty},
        {"wide value buffer", [&] { return lib.ContentGetValueW(wide.c_str(), 3, 0, nullptr, 64, 0); }, fld_empty},
        {"wide value buffer, number", [&] { return lib.ContentGetValueW(wide.c_str(), 5, 0, nullptr, 64, 0); },
         fld_empty},
        {"wide everything", [&] { return lib.ContentGetValueW(nullptr, 3, 0, nullptr, 64, 0); }, fld_empty},
        {"ANSI file name", [&] { return lib.ContentGetValue(nullptr, 3, 0, value.data(), 64, 0); }, fld_empty},
        {"ANSI value buffer", [&] { return lib.ContentGetValue(ansi.c_str(), 3, 0, nullptr, 64, 0); }, fld_empty},
        {"ANSI value buffer, number", [&] { return lib.ContentGetValue(ansi.c_str(), 5, 0, nullptr, 64, 0); },
         fld_empty},
        {"ANSI everything", [&] { return lib.ContentGetValue(nullptr, 3, 0, nullptr, 64, 0); }, fld_empty},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(row.call(), row.want);
        // the buffers that were passed are left alone too: a half-answered request is no answer
        EXPECT_TRUE(name.untouched() && units.untouched() && value.untouched());
        EXPECT_TRUE(name.guards_intact() && units.guards_intact() && value.guards_intact());
    }
    // and the library still answers a proper request
    HostBuffer ok(64);
    EXPECT_EQ(lib.ContentGetValueW(wide.c_str(), 0, 0, ok.data(), 64, 0), fld_widestring);
}

TEST(hostile_hosts, every_buffer_size_on_every_function) {
    Library lib;
    support::TempDir dir;
    const fs::path p = dir.write("a.fb2", book());
    const auto wide = plugin_host::wide_name(p);
    const auto ansi = plugin_host::ansi_name(p);

    for (int32_t size : hostile_sizes) {
        SCOPED_TRACE(testing::Message() << "BufSize " << size);
        const bool room = size > 0;
        {
            HostBuffer name(size), units(size);
            const int32_t r = lib.ContentGetSupportedField(0, name.chars(), units.chars(), size);
            EXPECT_TRUE(name.guards_intact() && units.guards_intact());
            // the field is there whatever the room: a host that asks with none must not think otherwise
            EXPECT_EQ(r, fld_widestring);
            EXPECT_TRUE(room ? terminated(name, 1) && terminated(units, 1) : name.untouched() && units.untouched());
        }
        {
            HostBuffer detect(size);
            lib.ContentGetDetectString(detect.chars(), size);
            EXPECT_TRUE(detect.guards_intact());
            EXPECT_TRUE(room ? terminated(detect, 1) : detect.untouched());
        }
        for (int32_t field = 0; field < 6; ++field) {
            SCOPED_TRACE(testing::Message() << "field " << field);
            const bool number = field == 5;
            HostBuffer w(size), a(size);
            const int32_t rw = lib.ContentGetValueW(wide.c_str(), field, 0, w.data(), size, 0);
            const int32_t ra = lib.ContentGetValue(ansi.c_str(), field, 0, a.data(), size, 0);
            EXPECT_TRUE(w.guards_intact());
            EXPECT_TRUE(a.guards_intact());
            if (!room) {
                EXPECT_TRUE(w.untouched() && a.untouched());
                continue;
            }
            // the shortest form fits: a whole answer; below it the answer may be empty, never garbage
            const bool fits = number ? size >= 4 : size >= 2;
            if (fits) {
                EXPECT_EQ(rw, number ? fld_numeric32 : fld_widestring);
                EXPECT_EQ(ra, number ? fld_numeric32 : fld_string);
            }
            EXPECT_TRUE(rw != fld_empty || w.untouched());
            EXPECT_TRUE(ra != fld_empty || a.untouched());
            EXPECT_TRUE(rw != fld_widestring || terminated(w, 2));
            EXPECT_TRUE(ra != fld_string || terminated(a, 1));
            EXPECT_TRUE((rw != fld_numeric32 && ra != fld_numeric32) || size >= 4);
        }
    }
}

TEST(hostile_hosts, size_larger_than_the_buffer_writes_only_the_value) {
    // a host that claims more room than it has loses only if the value needs it: nothing is filled ahead
    Library lib;
    support::TempDir dir;
    const fs::path p = dir.write("a.fb2", book());
    const auto wide = plugin_host::wide_name(p);
    const auto ansi = plugin_host::ansi_name(p);
    for (int32_t size : {INT_MAX, INT_MAX - 1, 1 << 30}) {
        SCOPED_TRACE(size);
        HostBuffer w(64), a(64);
        EXPECT_EQ(lib.ContentGetValueW(wide.c_str(), 0, 0, w.data(), size, 0), fld_widestring);
        EXPECT_EQ(lib.ContentGetValue(ansi.c_str(), 0, 0, a.data(), size, 0), fld_string);
        EXPECT_TRUE(w.guards_intact() && a.guards_intact());
        EXPECT_TRUE(w.rest_untouched(6)) << "\"sf\" and a NUL are 6 bytes";
        EXPECT_TRUE(a.rest_untouched(3));
    }
}

TEST(hostile_hosts, indexes_outside_the_table) {
    Library lib;
    support::TempDir dir;
    const fs::path p = dir.write("a.fb2", book());
    const auto wide = plugin_host::wide_name(p);
    const auto ansi = plugin_host::ansi_name(p);
    for (int32_t field : hostile_fields) {
        SCOPED_TRACE(testing::Message() << "FieldIdx " << field);
        HostBuffer name(64), units(64), w(64), a(64);
        EXPECT_EQ(lib.ContentGetSupportedField(field, name.chars(), units.chars(), 64), fld_nomore);
        EXPECT_EQ(lib.ContentGetValueW(wide.c_str(), field, 0, w.data(), 64, 0), fld_empty);
        EXPECT_EQ(lib.ContentGetValue(ansi.c_str(), field, 0, a.data(), 64, 0), fld_empty);
        for (const HostBuffer *b : {&name, &units, &w, &a}) EXPECT_TRUE(b->untouched() && b->guards_intact());
        // unit and flags are not looked at, whatever they hold
        HostBuffer t(64);
        EXPECT_EQ(lib.ContentGetValueW(wide.c_str(), 3, field, t.data(), 64, field), fld_widestring);
    }
}

TEST(hostile_hosts, names_that_are_huge_or_not_text) {
    Library lib;
    support::TempDir dir;
    const fs::path good = dir.write("a.fb2", book());
    // files an unfaithful conversion of the names below would land on
    dir.write("?x.fb2", book());
    dir.write("\xEF\xBF\xBDx.fb2", book());
    dir.write("\xEF\xBF\xBD\xEF\xBF\xBDx.fb2", book());
    dir.write("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx.fb2", book());
    dir.write("x.fb2?", book());
    const std::string folder = dir.path().string() + "/";

    struct Row {
        const char *label;
        std::u16string wide;  // empty: not asked through the wide entry
        std::string ansi;     // empty: not asked through the ANSI entry
    };
    const std::u16string wide_folder(folder.begin(), folder.end());
    std::u16string dots_wide = wide_folder;
    std::string dots_ansi = folder;
    while (dots_ansi.size() < 100000) {
        dots_ansi += "./";
        dots_wide += u"./";
    }
    dots_ansi += "a.fb2";
    dots_wide += u"a.fb2";
    const Row rows[] = {
        {"100,000 characters of one name", std::u16string(100000, u'x'), std::string(100000, 'x')},
        {"100,000 characters of path to a real book", dots_wide, dots_ansi},
        {"a lone high surrogate", wide_folder + u"\xD800x.fb2", ""},
        {"a lone low surrogate", wide_folder + u"\xDC00x.fb2", ""},
        {"a high surrogate at the end", wide_folder + u"x.fb2\xD800", ""},
        {"bytes that are not UTF-8", u"", folder + "\xFFx.fb2"},
        {"a cut UTF-8 sequence", u"", folder + "\xE2\x82x.fb2"},
        {"an encoded surrogate", u"", folder + "\xED\xA0\x80x.fb2"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        if (!row.wide.empty()) {
            const std::basic_string<tovrel_wchar> name(row.wide.begin(), row.wide.end());
            HostBuffer w(64);
            EXPECT_EQ(lib.ContentGetValueW(name.c_str(), 3, 0, w.data(), 64, 0), fld_empty)
                << "a name that names no file read some file";
            EXPECT_TRUE(w.untouched() && w.guards_intact());
        }
        if (!row.ansi.empty()) {
            HostBuffer a(64);
            EXPECT_EQ(lib.ContentGetValue(row.ansi.c_str(), 3, 0, a.data(), 64, 0), fld_empty)
                << "a name that names no file read some file";
            EXPECT_TRUE(a.untouched() && a.guards_intact());
        }
    }
    HostBuffer ok(64);
    EXPECT_EQ(lib.ContentGetValueW(plugin_host::wide_name(good).c_str(), 3, 0, ok.data(), 64, 0), fld_widestring);
}

TEST(hostile_hosts, many_loads_and_unloads) {
    support::TempDir dir;
    const fs::path p = dir.write("a.fb2", book());
    const auto wide = plugin_host::wide_name(p);
    const auto ansi = plugin_host::ansi_name(p);
    Library lib;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        HostBuffer name(16), units(16), detect(16), w(64), a(64), n(4);
        ASSERT_EQ(lib.ContentGetSupportedField(5, name.chars(), units.chars(), 16), fld_numeric32);
        lib.ContentGetDetectString(detect.chars(), 16);
        ASSERT_EQ(std::string(detect.chars()), "EXT=\"FB2\"");
        ASSERT_EQ(lib.ContentGetValueW(wide.c_str(), 1, 0, w.data(), 64, 0), fld_widestring);
        ASSERT_EQ(lib.ContentGetValue(ansi.c_str(), 2, 0, a.data(), 64, 0), fld_string);
        ASSERT_EQ(std::string(a.chars()), "Lee");
        ASSERT_EQ(lib.ContentGetValueW(wide.c_str(), 5, 0, n.data(), 4, 0), fld_numeric32);
        int32_t v;
        std::memcpy(&v, n.data(), 4);
        ASSERT_EQ(v, -7);
        // a failed read between the good ones: nothing cached for it
        HostBuffer missing(64);
        ASSERT_EQ(lib.ContentGetValueW(plugin_host::wide_name(dir.path() / "b.fb2").c_str(), 3, 0, missing.data(),
                                       64, 0),
                  fld_empty);
        for (const HostBuffer *b : {&name, &units, &detect, &w, &a, &n, &missing}) ASSERT_TRUE(b->guards_intact());
        lib.reload();
    }
}

// A host whose other threads are still asking for values when the process exits. A POSIX system runs
// the library's teardown on the exiting thread while the others go on: none of them may touch what it
// frees. Each round is a child process that exits a little later than the last; it must exit as asked.
TEST(hostile_hosts, threads_still_calling_while_the_process_exits) {
    support::TempDir dir;
    std::vector<std::basic_string<tovrel_wchar>> names;
    for (int i = 0; i < 64; ++i) {
        // cached books, books being read, and broken and missing ones, whose reads fail
        const fs::path p = dir.path() / (std::to_string(i) + ".fb2");
        if (i % 8 != 7) dir.write(p.filename().string(), i % 4 == 3 ? "<FictionBook><description><p>" : book());
        names.push_back(plugin_host::wide_name(p));
    }
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // (what is left behind at exit is on purpose: the library is never unloaded here)
            if (__lsan_disable) __lsan_disable();
            const auto *lib = new Library;
            for (size_t t = 0; t < 4; ++t) {
                std::thread([lib, &names, t] {
                    if (__lsan_disable) __lsan_disable();
                    HostBuffer buf(256);
                    for (size_t k = t;; k += 3)
                        lib->ContentGetValueW(names[k % names.size()].c_str(), static_cast<int32_t>(k % 6), 0,
                                              buf.data(), 256, 0);
                }).detach();
            }
            std::this_thread::sleep_for(std::chrono::microseconds(250 * (round % 12)));
            std::exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "the process ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        ASSERT_EQ(WEXITSTATUS(status), 0);
    }
}

} // namespace
