// fb2cols on books in zip archives and gzip files: archives written here, honest and hostile, and the
// real corpus zipped, whose rows must be the rows of the plain files.
#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "fb2cols_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

using namespace fb2cols_test;

// raw deflate (what a zip member holds), or a gzip file with windowBits 31
std::string deflated(std::string_view data, int window_bits = -15) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void put(std::string &out, uint64_t v, int bytes) {
    for (int k = 0; k < bytes; ++k) out += static_cast<char>(v >> (8 * k) & 0xFF);
}

// A member as written, with whatever faults a hostile archive may have.
struct Entry {
    std::string name, data;
    bool deflate = true;
    std::optional<uint64_t> said_size = {}; // the size the directory claims, when it lies
    std::optional<uint32_t> said_crc = {};
    std::optional<uint64_t> said_offset = {};
    uint16_t flags = 0, method = 0xFFFF; // 0xFFFF: stored or deflated, as deflate says
    std::string extra = {};              // extra fields for the directory entry
};

struct Zip {
    bool zip64 = false;
    std::optional<uint64_t> said_count = {}, said_directory_offset = {};
    std::string before = {}; // bytes ahead of the archive, as a self-extractor has
};

std::string zip(const std::vector<Entry> &entries, const Zip &how = {}) {
    std::string out = how.before, directory;
    for (const Entry &e : entries) {
        const std::string body = e.deflate ? deflated(e.data) : e.data;
        const uint16_t method = e.method != 0xFFFF ? e.method : e.deflate ? 8 : 0;
        const uint32_t crc = e.said_crc.value_or(crc32(0, reinterpret_cast<const Bytef *>(e.data.data()),
                                                       static_cast<uInt>(e.data.size())));
        const uint64_t size = e.said_size.value_or(e.data.size());
        const uint64_t offset = e.said_offset.value_or(out.size() - how.before.size());
        // the local header: sizes here are not read, the directory's are
        put(out, 0x04034b50, 4), put(out, 20, 2), put(out, e.flags, 2), put(out, method, 2), put(out, 0, 4);
        put(out, crc, 4), put(out, body.size(), 4), put(out, e.data.size(), 4), put(out, e.name.size(), 2);
        put(out, 0, 2);
        out += e.name + body;
        std::string extra = e.extra;
        const bool big = how.zip64;
        if (big) { // every size and the offset in the ZIP64 field
            put(extra, 0x0001, 2), put(extra, 24, 2), put(extra, size, 8), put(extra, body.size(), 8);
            put(extra, offset, 8);
        }
        put(directory, 0x02014b50, 4), put(directory, big ? 45 : 20, 2), put(directory, big ? 45 : 20, 2);
        put(directory, e.flags, 2), put(directory, method, 2), put(directory, 0, 4), put(directory, crc, 4);
        put(directory, big ? 0xFFFFFFFF : body.size(), 4), put(directory, big ? 0xFFFFFFFF : size, 4);
        put(directory, e.name.size(), 2), put(directory, extra.size(), 2), put(directory, 0, 2);
        put(directory, 0, 2), put(directory, 0, 2), put(directory, 0, 4);
        put(directory, big ? 0xFFFFFFFF : offset, 4);
        directory += e.name + extra;
    }
    const uint64_t at = how.said_directory_offset.value_or(out.size() - how.before.size());
    const uint64_t count = how.said_count.value_or(entries.size());
    out += directory;
    if (how.zip64) {
        const uint64_t record = out.size() - how.before.size();
        put(out, 0x06064b50, 4), put(out, 44, 8), put(out, 45, 2), put(out, 45, 2), put(out, 0, 4), put(out, 0, 4);
        put(out, count, 8), put(out, count, 8), put(out, directory.size(), 8), put(out, at, 8);
        put(out, 0x07064b50, 4), put(out, 0, 4), put(out, record, 8), put(out, 1, 4);
    }
    put(out, 0x06054b50, 4), put(out, 0, 4);
    put(out, how.zip64 ? 0xFFFF : count, 2), put(out, how.zip64 ? 0xFFFF : count, 2);
    put(out, how.zip64 ? 0xFFFFFFFF : directory.size(), 4), put(out, how.zip64 ? 0xFFFFFFFF : at, 4);
    put(out, 0, 2);
    return out;
}

std::string book(const std::string &title) { return fb2("<book-title>" + title + "</book-title>"); }

// a gzip file of data whose trailer may lie about the size
std::string gzipped(std::string_view data, std::optional<uint32_t> said_size = {}) {
    std::string out = deflated(data, 15 + 16);
    if (said_size) out.replace(out.size() - 4, 4, [&] { std::string s; put(s, *said_size, 4); return s; }());
    return out;
}

// the separator between an archive and its member as TSV writes it: the platform's, a backslash escaped
const std::string S = fs::path::preferred_separator == '/' ? "/" : "\\\\";

// a zip archive whose directory's first entry does not begin as one
std::string damaged_directory() {
    std::string z = zip({{"a.fb2", book("A")}});
    z[z.size() - 22 - 46 - 5] = 'X';
    return z;
}

TEST(fb2cols_archives, rows_and_reasons_of_honest_and_hostile_archives) {
    const std::string zeros(10'000'000, '\0');
    std::string unicode_path; // Info-ZIP's field: version 1, the CRC of the stored name, the UTF-8 name
    put(unicode_path, 0x7075, 2), put(unicode_path, 5 + std::string("Книга.fb2").size(), 2), unicode_path += '\1';
    put(unicode_path, crc32(0, reinterpret_cast<const Bytef *>("\x8a\xad\xa8\xa3\xa0.fb2"), 9), 4);
    unicode_path += "Книга.fb2";
    struct Row {
        const char *label;
        std::string name, bytes;
        std::vector<std::string> rows; // "file\ttitle\twhy", the file without the archive's own name
        int status = 0;
    } rows[] = {
        {"one book, stored", "one.fb2.zip", zip({{"book.fb2", book("One"), false}}), {S + "book.fb2\tOne\t"}},
        {"many books, folders, and what is no book", "lib.zip",
         zip({{"sub/", "", false}, {"b.fb2", book("B")}, {"notes.txt", "text"}, {"sub/deeper/c.fb2", book("C")},
              {"a.FB2", book("A"), false}}),
         {S + "a.FB2\tA\t", S + "b.fb2\tB\t", S + "sub" + S + "deeper" + S + "c.fb2\tC\t"}},
        {"ZIP64", "big.zip", zip({{"a.fb2", book("Sixty-four")}, {"b.fb2", book("Stored"), false}}, {true}),
         {S + "a.fb2\tSixty-four\t", S + "b.fb2\tStored\t"}},
        {"bytes before the archive", "sfx.zip", zip({{"a.fb2", book("Shifted")}}, {false, {}, {}, "MZ stub"}),
         {S + "a.fb2\tShifted\t"}},
        {"an empty archive", "empty.zip", zip({}), {}},
        {"a name in a code page, a UTF-8 name beside it", "names.zip",
         zip({{"\x8a\xad\xa8\xa3\xa0.fb2", book("OEM")}, {"\x8a\xad\xa8\xa3\xa0.fb2", book("Unicode"), true, {}, {}, {}, 0, 0xFFFF, unicode_path}}),
         {S + "\\x8a\\xad\\xa8\\xa3\\xa0.fb2\tOEM\t", S + "Книга.fb2\tUnicode\t"}},
        {"not a zip at all", "text.zip", "just words, no directory", {"\t\tnot a zip archive (no end of a directory in it)"}, 1},
        {"a directory that is damaged", "damaged.zip", damaged_directory(),
         {"\t\tits directory is damaged (no entry where one should begin)"}, 1},
        // taken for bytes ahead of the archive, which move every member
        {"a directory offset that lies", "lost.zip", zip({{"a.fb2", book("A")}}, {false, {}, 5}),
         {S + "a.fb2\t\tno member where the directory says it begins"}, 1},
        {"a count its directory has no room for", "count.zip", zip({{"a.fb2", book("A")}}, {false, 60'000}),
         {"\t\tits directory says it lists 60,000 files, more than it has room for"}, 1},
        {"a member past the end", "far.zip", zip({{"a.fb2", book("A"), true, {}, {}, 1u << 30}}),
         {S + "a.fb2\t\tits local header lies past the end of the archive"}, 1},
        {"a size that says less than it unpacks to (a bomb)", "bomb.zip", zip({{"a.fb2", zeros, true, 1000}}),
         {S + "a.fb2\t\tit unpacks to more than the 1,000 bytes its directory says"}, 1},
        {"a size that says more", "short.zip", zip({{"a.fb2", book("A"), true, 100000}}),
         {S + "a.fb2\t\tit unpacks to " + std::to_string(book("A").size()) + " bytes, not the 100,000 its directory says"}, 1},
        {"a size beyond what fb2cols unpacks", "huge.zip", zip({{"a.fb2", zeros, true, 5'000'000'000}}, {true}),
         {S + "a.fb2\t\tit unpacks to 5,000 MB, more than the " + std::string(sizeof(void *) >= 8 ? "1,074" : "269") +
          " MB fb2cols unpacks of one book"}, 1},
        {"the largest size ZIP64 can claim", "claim.zip", zip({{"a.fb2", book("A"), true, UINT64_MAX}}, {true}),
         {S + "a.fb2\t\tit unpacks to 18,446,744,073,710 MB, more than the " +
          std::string(sizeof(void *) >= 8 ? "1,074" : "269") + " MB fb2cols unpacks of one book"}, 1},
        {"a CRC that does not match", "crc.zip", zip({{"a.fb2", book("A"), true, {}, 1234}}),
         {S + "a.fb2\t\tits CRC does not match its data: the member is damaged"}, 1},
        {"encrypted", "secret.zip", zip({{"a.fb2", book("A"), false, {}, {}, {}, 1}}),
         {S + "a.fb2\t\tit is encrypted (fb2cols reads no encrypted member)"}, 1},
        {"another method", "bz.zip", zip({{"a.fb2", book("A"), false, {}, {}, {}, 0, 12}}),
         {S + "a.fb2\t\tit is packed with bzip2 (fb2cols reads stored and deflated members)"}, 1},
        {"a book in gzip", "g.fb2.gz", gzipped(book("Gzipped")), {"\tGzipped\t"}},
        {"a gzip bomb", "gb.fb2.gz", gzipped(zeros, 1000), {"\t\tit unpacks to more than the 1,000 bytes its trailer says"}, 1},
        {"a gzip cut short", "cut.fb2.gz", gzipped(book("A")).substr(0, 30),
         {"\t\tits packed data ends before the book does"}, 1},
        {"a .fb2 that is a zip archive", "zipped.fb2", zip({{"a.fb2", book("A")}}),
         {"\t\ta zip archive, not an FB2 file: named .zip or .fb2.zip, fb2cols reads the books in it"}, 1},
        {"a .fb2 that is gzip", "gzipped.fb2", gzipped(book("A")),
         {"\t\tgzip-compressed, not an FB2 file: named .fb2.gz, fb2cols reads the book in it"}, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const support::TempDir dir;
        dir.write(row.name, row.bytes);
        const Result r = run(dir.path(), {"--tsv", "-n", "-o", "file,title,why", row.name}, true, true);
        EXPECT_EQ(r.status, row.status) << r.err;
        std::string want;
        for (const std::string &line : row.rows) want += row.name + line + '\n';
        EXPECT_EQ(r.out, want);
    }
}

// A member that claims a gigabyte and is damaged from its first byte costs what it unpacks to: its
// room grows as the stream gives, and is not claimed (and zero-filled) at its word.
TEST(fb2cols_archives, a_damaged_member_costs_what_it_unpacks_to_not_what_it_claims) {
#ifdef _WIN32
    GTEST_SKIP() << "the peak of a child's memory is measured on POSIX";
#else
    const support::TempDir dir;
    // a final block of the reserved type, and enough packed bytes that the claim is one deflate can make
    Entry damaged{"a.fb2", std::string(1'100'000, '\x07'), false, 1u << 30};
    damaged.method = 8;
    dir.write("claims.zip", zip({damaged}));
    const std::string out = (dir.path() / "out").string(), name = tool().string(), plug = plugin();
    std::vector<std::string> args{name, "--tsv", "-n", "-o", "why", "--plugin", plug, (dir.path() / "claims.zip").string()};
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, name.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage use{};
    ASSERT_EQ(wait4(pid, &status, 0, &use), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(slurp(out), "its packed data is damaged (invalid block type)\n");
    EXPECT_LT(use.ru_maxrss, 256 * 1024) << "KiB at its peak"; // (sanitizers' own pages included)
#endif
}

TEST(fb2cols_archives, a_member_fails_with_the_message_of_a_file_of_its_bytes) {
    const support::TempDir dir;
    const std::string broken = "<?xml version=\"1.0\"?>\n<FictionBook><description></FictionBook>\n";
    dir.write("x.fb2", broken);
    dir.write("x.fb2.zip", zip({{"x.fb2", broken}}));
    dir.write("x.fb2.gz", gzipped(broken));
    const Result r = run(dir.path(), {"--tsv", "-n", "-o", "why", "x.fb2", "x.fb2.zip", "x.fb2.gz"});
    EXPECT_EQ(r.status, 1);
    const auto why = lines(r.out);
    ASSERT_EQ(why.size(), 3u) << r.out;
    EXPECT_NE(why[0], "");
    EXPECT_EQ(why[1], why[0]);
    EXPECT_EQ(why[2], why[0]);
}

TEST(fb2cols_archives, an_archive_in_a_folder_is_read_with_or_without_r_and_a_named_empty_one_is_noted) {
    const support::TempDir dir;
    fs::create_directories(dir.path() / "shelf/sub");
    dir.write("shelf/a.fb2.zip", zip({{"a.fb2", book("A")}}));
    dir.write("shelf/sub/b.fb2.zip", zip({{"b.fb2", book("B")}}));
    dir.write("shelf/notes.zip", zip({{"notes.txt", "no book"}}));
    const Result flat = run(dir.path(), {"--tsv", "-n", "-o", "title", "shelf"});
    EXPECT_EQ(flat.out, "A\n");
    EXPECT_EQ(flat.err, "fb2cols: shelf has books in subfolders, which -r reads too\n");
    EXPECT_EQ(run(dir.path(), {"--tsv", "-n", "-o", "title", "-r", "shelf"}).out, "A\nB\n");
    const Result named = run(dir.path(), {"--tsv", "-n", "shelf/notes.zip"});
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(named.out, "");
    EXPECT_NE(named.err.find("notes.zip holds no file the plug-in's detect string EXT=\"FB2\" accepts"),
              std::string::npos)
        << named.err;
}

// The corpus, zipped book by book and all in one archive: every row, values and failures alike, is
// the row of the plain file, through whichever entry point.
TEST(fb2cols_archives, the_corpus_zipped_gives_the_rows_of_the_plain_files) {
    const fs::path corpus = support::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus beside the checkout";
    const support::TempDir dir;
    fs::create_directories(dir.path() / "each");
    std::vector<Entry> all;
    std::vector<fs::path> books;
    for (const auto &e : fs::directory_iterator(corpus))
        if (e.path().extension() == ".fb2") books.push_back(e.path());
    std::sort(books.begin(), books.end());
    for (const fs::path &b : books) {
        const std::string name = b.filename().string();
        all.push_back({name, slurp(b)});
        dir.write("each/" + name + ".zip", zip({all.back()}));
    }
    dir.write("all.zip", zip(all));
    for (const bool ansi : {false, true}) {
        SCOPED_TRACE(ansi ? "ContentGetValue" : "ContentGetValueW");
        const auto args = [&](const char *what) {
            std::vector<std::string> a{"--tsv", "-n", "--why", what};
            if (ansi) a.push_back("--ansi");
            return a;
        };
        const Result plain = run(host_path(corpus.string()), args("."));
        const Result each = run(dir.path(), args("each"));
        const Result one = run(dir.path(), args("all.zip"));
        // the file column aside, line by line
        auto rest = [](const std::string &out) {
            std::vector<std::string> rows;
            for (const std::string &line : lines(out)) rows.push_back(line.substr(line.find('\t')));
            return rows;
        };
        ASSERT_EQ(lines(plain.out).size(), books.size());
        EXPECT_EQ(rest(each.out), rest(plain.out));
        EXPECT_EQ(rest(one.out), rest(plain.out));
        EXPECT_EQ(each.status, plain.status);
        EXPECT_EQ(one.status, plain.status);
        EXPECT_EQ(lines(one.out).front().substr(0, 8), "all.zip/"); // (run() shows every separator as '/')
    }
}

} // namespace
