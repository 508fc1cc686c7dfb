// fb2cols end to end: the built tool loads the built plug-in and reads books written here, the
// project's examples and the real corpus; plus the detect-string evaluator and text helpers it uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <sys/wait.h>
#endif

#include "FB2_Info.h"
#include "detect.h"
#include "layout.h"
#include "ordered.h"
#include "support.h"
#include "text.h"
#include "unicode.h"

namespace fs = std::filesystem;

namespace {

// A path the build system wrote down: under Wine the cross build's Linux paths are found on drive Z:.
fs::path host_path(std::string p) {
#ifdef _WIN32
    if (!p.empty() && p.front() == '/') {
        for (char &c : p)
            if (c == '/') c = '\\';
        p = "Z:" + p;
    }
#endif
    return fs::u8path(p);
}

fs::path tool() { return host_path(FB2COLS_EXE); }

// the library under test; empty when CTest did not say, and fb2cols then finds its own copy
std::string plugin() {
    const char *env = std::getenv("TOVREL_PLUGIN");
    return env && *env ? host_path(env).string() : std::string();
}

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quoted(const std::string &s) {
#ifdef _WIN32
    return '"' + s + '"';
#else
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
#endif
}

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs fb2cols in folder cwd; the plug-in under test goes first, so a later --plugin in args wins.
// Separators come back as '/' (see below) unless keep_separators, for output that has other backslashes.
Result run(const fs::path &cwd, const std::vector<std::string> &args, bool with_plugin = true,
           [[maybe_unused]] bool keep_separators = false) {
    support::TempDir capture;
    const fs::path out = capture.path() / "out", err = capture.path() / "err";
    std::string cmd = "cd ";
#ifdef _WIN32
    cmd += "/d ";
#endif
    cmd += quoted(cwd.string()) + " && " + quoted(tool().string());
    if (with_plugin && !plugin().empty()) cmd += " --plugin " + quoted(plugin());
    for (const std::string &a : args) cmd += ' ' + quoted(a);
    cmd += " >" + quoted(out.string()) + " 2>" + quoted(err.string());
#ifdef _WIN32
    cmd = '"' + cmd + " <NUL\""; // cmd.exe drops the outer pair of quotes
#else
    cmd += " </dev/null";
#endif
    const int raw = std::system(cmd.c_str());
    Result r;
#ifdef _WIN32
    r.status = raw;
#else
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    r.out = slurp(out);
    r.err = slurp(err);
#ifdef _WIN32
    // the file column uses the platform's separator, which TSV and JSON escape; the expectations use '/'
    if (!keep_separators) {
        const bool escaped = std::find_if(args.begin(), args.end(), [](const std::string &a) {
                                 return a == "--tsv" || a == "--json";
                             }) != args.end();
        const std::string sep = escaped ? "\\\\" : "\\";
        for (size_t at = 0; (at = r.out.find(sep, at)) != std::string::npos;) r.out.replace(at, sep.size(), "/");
    }
#endif
    return r;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i)
        if (i == s.size() || s[i] == sep) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    return parts;
}

std::vector<std::string> lines(const std::string &s) {
    auto all = split(s, '\n');
    if (!all.empty() && all.back().empty()) all.pop_back();
    return all;
}

// ---- books written here

std::string fb2(std::string_view title_info, std::string_view encoding = "UTF-8") {
    return "<?xml version=\"1.0\" encoding=\"" + std::string(encoding) +
           "\"?>\n<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\">\n<description>\n<title-info>\n" +
           std::string(title_info) + "\n</title-info>\n</description>\n<body><section><p>text</p></section></body>\n" +
           "</FictionBook>\n";
}

// windows-1251 bytes of ASCII and Russian text
std::string cp1251(std::string_view utf8) {
    std::string out;
    for (char16_t c : unicode::utf8_to_utf16(utf8)) {
        if (c < 0x80) out += static_cast<char>(c);
        else if (c >= 0x0410 && c <= 0x044F) out += static_cast<char>(0xC0 + (c - 0x0410));
        else if (c == 0x0401) out += static_cast<char>(0xA8);
        else if (c == 0x0451) out += static_cast<char>(0xB8);
        else ADD_FAILURE() << "no windows-1251 byte for U+" << std::hex << static_cast<unsigned>(c);
    }
    return out;
}

// A folder "shelf" of books, created out of order: the walk must sort.
struct Shelf {
    support::TempDir dir;
    Shelf() {
        fs::create_directories(dir.path() / "shelf" / "sub");
        dir.write("shelf/sub/c-deep.fb2", fb2("<book-title>Deep</book-title><sequence number=\"-7\"/>"));
        dir.write("shelf/b-cp1251.fb2",
                  cp1251(fb2("<genre>det_classic</genre><author><first-name>Аркадий</first-name>"
                             "<last-name>Зорин</last-name></author><book-title>Дело о компасе</book-title>",
                             "windows-1251")));
        // the detect string decides by extension, not content
        dir.write("shelf/notes.txt", fb2("<book-title>Hidden</book-title>"));
        dir.write("shelf/a-series.fb2",
                  fb2("<genre>sf_history</genre><genre>adventure</genre><author><first-name>Иван</first-name>"
                      "<last-name>Петров</last-name></author><book-title>Ночной дозор</book-title>"
                      "<sequence name=\"Дозоры\" number=\"3\"/>"));
        dir.write("shelf/LOUD.FB2", fb2("<genre>prose</genre><book-title>Loud</book-title>"
                                        "<sequence name=\"Echo\" number=\"$1A\"/>"));
    }
    const fs::path &path() const { return dir.path(); }
};

// ---- output formats

TEST(fb2cols_output, table_aligns_columns_by_display_width) {
    const Shelf shelf;
    const Result r = run(shelf.path(), {"shelf"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Cyrillic takes one column a letter; numbers line up on the right; no trailing blanks
    EXPECT_EQ(r.out, "file                genre        aut_f    aut_l   title           seq     seq_n\n"
                     "shelf/LOUD.FB2      prose                         Loud            Echo       26\n"
                     "shelf/a-series.fb2  sf_history   Иван     Петров  Ночной дозор    Дозоры      3\n"
                     "shelf/b-cp1251.fb2  det_classic  Аркадий  Зорин   Дело о компасе\n");
}

TEST(fb2cols_output, tsv_is_a_header_and_one_line_per_book) {
    const Shelf shelf;
    const Result r = run(shelf.path(), {"--tsv", "-r", "shelf"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "file\tgenre\taut_f\taut_l\ttitle\tseq\tseq_n\n"
                     "shelf/LOUD.FB2\tprose\t\t\tLoud\tEcho\t26\n"
                     "shelf/a-series.fb2\tsf_history\tИван\tПетров\tНочной дозор\tДозоры\t3\n"
                     "shelf/b-cp1251.fb2\tdet_classic\tАркадий\tЗорин\tДело о компасе\t\t\n"
                     "shelf/sub/c-deep.fb2\t\t\t\tDeep\t\t-7\n");
}

TEST(fb2cols_output, json_has_numbers_as_numbers_and_null_for_missing_values) {
    const Shelf shelf;
    const Result r = run(shelf.path(), {"--json", "-r", "shelf"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "[\n"
              "  {\"file\": \"shelf/LOUD.FB2\", \"genre\": \"prose\", \"aut_f\": null, \"aut_l\": null, "
              "\"title\": \"Loud\", \"seq\": \"Echo\", \"seq_n\": 26},\n"
              "  {\"file\": \"shelf/a-series.fb2\", \"genre\": \"sf_history\", \"aut_f\": \"Иван\", \"aut_l\": "
              "\"Петров\", \"title\": \"Ночной дозор\", \"seq\": \"Дозоры\", \"seq_n\": 3},\n"
              "  {\"file\": \"shelf/b-cp1251.fb2\", \"genre\": \"det_classic\", \"aut_f\": \"Аркадий\", \"aut_l\": "
              "\"Зорин\", \"title\": \"Дело о компасе\", \"seq\": null, \"seq_n\": null},\n"
              "  {\"file\": \"shelf/sub/c-deep.fb2\", \"genre\": null, \"aut_f\": null, \"aut_l\": null, "
              "\"title\": \"Deep\", \"seq\": null, \"seq_n\": -7}\n"
              "]\n");
}

TEST(fb2cols_output, an_empty_run_is_still_well_formed) {
    const support::TempDir dir;
    fs::create_directories(dir.path() / "empty");
    struct Row {
        const char *label;
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        {"json", {"--json", "empty"}, "[]\n"},
        {"tsv", {"--tsv", "empty"}, "file\tgenre\taut_f\taut_l\ttitle\tseq\tseq_n\n"},
        {"table", {"empty"}, "file  genre  aut_f  aut_l  title  seq  seq_n\n"},
        {"json with why", {"--json", "--why", "empty"}, "[]\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const Result r = run(dir.path(), row.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, row.out);
    }
}

TEST(fb2cols_output, quotes_tabs_backslashes_and_line_breaks_are_escaped) {
    const support::TempDir dir;
    // character references put a tab, a line feed and a carriage return into the title as they are
    dir.write("odd.fb2", fb2("<book-title>Say \"hi\" \\ a&#9;b&#10;c&#13;d</book-title>"));
    struct Row {
        const char *label;
        std::vector<std::string> args;
        std::string out;
    } rows[] = {
        {"json", {"--json", "odd.fb2"},
         "[\n  {\"file\": \"odd.fb2\", \"genre\": null, \"aut_f\": null, \"aut_l\": null, "
         "\"title\": \"Say \\\"hi\\\" \\\\ a\\tb\\nc\\rd\", \"seq\": null, \"seq_n\": null}\n]\n"},
        {"tsv", {"--tsv", "odd.fb2"},
         "file\tgenre\taut_f\taut_l\ttitle\tseq\tseq_n\n"
         "odd.fb2\t\t\t\tSay \"hi\" \\\\ a\\tb\\nc\\rd\t\t\n"},
        // a table cell stays on its line, and shows what a control character was
        {"table", {"odd.fb2"},
         "file     genre  aut_f  aut_l  title                  seq  seq_n\n"
         "odd.fb2                       Say \"hi\" \\ a\\tb\\nc\\rd\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const Result r = run(dir.path(), row.args, true, true);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, row.out);
    }
}

// ---- the ANSI entry point

TEST(fb2cols_ansi, gives_the_same_values_as_the_wide_entry_point) {
    const Shelf shelf;
    // a name outside ASCII reaches ContentGetValue as the ANSI code page's bytes
    fs::create_directories(shelf.path() / "names");
    shelf.dir.write("names/Книга.fb2", fb2("<book-title>Имя файла</book-title>"));
    struct Row {
        const char *label;
        std::vector<std::string> args;
        bool cyrillic;
    } rows[] = {
        {"shelf as tsv", {"--tsv", "-r", "shelf"}, true},
        {"shelf as json", {"--json", "-r", "shelf"}, true},
        {"a non-ASCII file name", {"--tsv", "names"}, true},
        {"ASCII values only", {"--tsv", "shelf/LOUD.FB2"}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
#ifdef _WIN32
        if (row.cyrillic && GetACP() != 1251) continue; // Russian text has no place in this ANSI code page
#endif
        const Result wide = run(shelf.path(), row.args);
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "--ansi");
        const Result ansi = run(shelf.path(), args);
        EXPECT_EQ(wide.status, 0) << wide.err;
        EXPECT_EQ(ansi.status, 0) << ansi.err;
        EXPECT_GT(lines(wide.out).size(), 1u);
        EXPECT_EQ(ansi.out, wide.out);
    }
}

// ---- exit status

fs::path library_without_the_exports() {
#ifdef _WIN32
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return fs::path(dir) / "kernel32.dll";
#else
    Dl_info info{};
    // the C library: loads anywhere, exports none of ours; a function no sanitizer intercepts, so it resolves there
    dladdr(reinterpret_cast<void *>(&gnu_get_libc_version), &info);
    return info.dli_fname ? fs::path(info.dli_fname) : fs::path();
#endif
}

TEST(fb2cols_exit, status_tells_success_unread_books_and_bad_usage) {
    const Shelf shelf;
    fs::create_directories(shelf.path() / "broken");
    shelf.dir.write("broken/truncated.fb2", "<?xml version=\"1.0\"?>\n<FictionBook><description><title-info>");
    shelf.dir.write("other.fb2", "<?xml version=\"1.0\"?>\n<html><body><p>not a book</p></body></html>\n");
    const std::string no_exports = library_without_the_exports().string();

    struct Row {
        const char *label;
        std::vector<std::string> args;
        int status;
        std::string err_has; // empty: nothing on stderr at all
        bool with_plugin = true;
    } rows[] = {
        {"every book read", {"-r", "shelf"}, 0, ""},
        {"a root other than FictionBook reads fine", {"other.fb2"}, 0, ""},
        {"a broken book", {"broken/truncated.fb2"}, 1, "1 of 1 files could not be read"},
        {"a broken book among good ones", {"shelf", "broken"}, 1, "1 of 4 files could not be read"},
        {"a missing book", {"gone.fb2"}, 1, "could not be read"},
        {"a rejected file is noted, not a failure", {"shelf/notes.txt"}, 0, "skipping shelf"},
        {"help", {"--help"}, 0, ""},
        {"version", {"--version"}, 0, ""},
        {"no arguments at all", {}, 2, "fb2cols: no files or folders given", false},
        {"only options", {"--tsv"}, 2, "fb2cols: no files or folders given"},
        {"unknown option", {"--colour", "shelf"}, 2, "fb2cols: unknown option '--colour'"},
        {"tsv and json", {"--tsv", "--json", "shelf"}, 2, "fb2cols: --tsv and --json exclude each other"},
        {"plug-in path missing", {"shelf", "--plugin"}, 2, "fb2cols: --plugin needs a path"},
        {"no plug-in there", {"--plugin", "nowhere/tovrel.wdx", "shelf"}, 2, "fb2cols: no plug-in at"},
        {"not a library", {"--plugin=shelf/notes.txt", "shelf"}, 2, "fb2cols: cannot load plug-in"},
        {"a library without the four exports", {"--plugin", no_exports, "shelf"}, 2,
         "is not a content plug-in: it lacks ContentGetSupportedField, ContentGetDetectString, "
         "ContentGetValueW, ContentGetValue"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const Result r = run(shelf.path(), row.args, row.with_plugin);
        EXPECT_EQ(r.status, row.status) << r.err;
        if (row.err_has.empty()) {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(row.err_has), std::string::npos) << r.err;
            EXPECT_EQ(lines(r.err).size(), 1u) << "one line on stderr: " << r.err;
        }
        if (row.status == 2) {
            EXPECT_EQ(r.out, "") << "no rows after bad usage";
        }
    }
}

TEST(fb2cols_exit, help_and_version_print_to_stdout) {
    const support::TempDir dir;
    const Result help = run(dir.path(), {"--help"});
    EXPECT_EQ(help.out.rfind("usage: fb2cols [options] FILE|FOLDER...\n", 0), 0u) << help.out;
    for (const char *option : {"--recursive", "--tsv", "--json", "--ansi", "--why", "--plugin", "--version"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const Result version = run(dir.path(), {"--version"});
    EXPECT_EQ(version.out.rfind("fb2cols ", 0), 0u) << version.out;
    EXPECT_EQ(lines(version.out).size(), 1u);
}

// ---- why a book could not be read

TEST(fb2cols_why, names_the_reason_for_each_book_that_failed) {
    const support::TempDir dir;
    struct Row {
        const char *label;
        std::string name, content;
        std::string why; // "*": any message
        int status;
    } rows[] = {
        {"a series number that is no integer", "number.fb2", fb2("<sequence name=\"S\" number=\"3a\"/>"),
         "''3a'' is not a valid integer value", 1},
        {"an element where the text should be", "element.fb2",
         fb2("<book-title><strong>Bold</strong> title</book-title>"),
         "Could not convert variant of type (Null) into type (OleStr)", 1},
        {"not well-formed", "truncated.fb2", "<?xml version=\"1.0\"?>\n<FictionBook><description>", "*", 1},
        {"not XML at all", "plain.fb2", "just some words\n", "*", 1},
        {"missing", "absent.fb2", "", "*", 1},
        {"no values, yet read fine", "other.fb2", "<?xml version=\"1.0\"?>\n<other><title-info/></other>\n", "", 0},
        {"a good book", "good.fb2", fb2("<book-title>Fine</book-title>"), "", 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        if (row.label != std::string("missing")) dir.write(row.name, row.content);
        const Result tsv = run(dir.path(), {"--tsv", "--why", row.name});
        EXPECT_EQ(tsv.status, row.status) << tsv.err;
        const auto out = lines(tsv.out);
        ASSERT_EQ(out.size(), 2u) << tsv.out;
        EXPECT_EQ(out[0], "file\tgenre\taut_f\taut_l\ttitle\tseq\tseq_n\twhy");
        const auto cells = split(out[1], '\t');
        ASSERT_EQ(cells.size(), 8u) << out[1];
        if (row.why == "*") {
            EXPECT_NE(cells[7], "");
            // a failed book shows no values at all
            for (size_t i = 1; i < 7; ++i) EXPECT_EQ(cells[i], "") << i;
        } else {
            EXPECT_EQ(cells[7], row.why);
        }
        EXPECT_EQ(tsv.err, "") << "--why says it in the output instead";

        // in JSON: a string for a failure, null for a book that read
        const Result json = run(dir.path(), {"--json", "--why", row.name});
        const std::string key = "\"why\": ";
        const size_t at = json.out.find(key);
        ASSERT_NE(at, std::string::npos) << json.out;
        if (row.status == 0) {
            EXPECT_EQ(json.out.substr(at + key.size(), 5), "null}");
        } else {
            EXPECT_EQ(json.out.substr(at + key.size(), 1), "\"");
        }
    }
}

TEST(fb2cols_why, without_the_option_there_is_no_why_column) {
    const support::TempDir dir;
    dir.write("number.fb2", fb2("<sequence name=\"S\" number=\"3a\"/>"));
    const Result r = run(dir.path(), {"--tsv", "number.fb2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "file\tgenre\taut_f\taut_l\ttitle\tseq\tseq_n\nnumber.fb2\t\t\t\t\t\t\n");
}

// ---- walking folders

TEST(fb2cols_walk, folders_are_walked_in_sorted_order_and_subfolders_only_with_r) {
    const Shelf shelf;
    struct Row {
        const char *label;
        std::vector<std::string> args;
        std::vector<std::string> files;
    } rows[] = {
        {"one level", {"shelf"}, {"shelf/LOUD.FB2", "shelf/a-series.fb2", "shelf/b-cp1251.fb2"}},
        {"-r", {"-r", "shelf"},
         {"shelf/LOUD.FB2", "shelf/a-series.fb2", "shelf/b-cp1251.fb2", "shelf/sub/c-deep.fb2"}},
        {"--recursive", {"shelf", "--recursive"},
         {"shelf/LOUD.FB2", "shelf/a-series.fb2", "shelf/b-cp1251.fb2", "shelf/sub/c-deep.fb2"}},
        {"a subfolder named", {"shelf/sub"}, {"shelf/sub/c-deep.fb2"}},
        {"files in the order given", {"shelf/sub/c-deep.fb2", "shelf/LOUD.FB2"},
         {"shelf/sub/c-deep.fb2", "shelf/LOUD.FB2"}},
        {"a rejected file named", {"shelf/notes.txt"}, {}},
        {"after --, a name is a name", {"--", "shelf/sub"}, {"shelf/sub/c-deep.fb2"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "--tsv");
        const Result r = run(shelf.path(), args);
        EXPECT_EQ(r.status, 0) << r.err;
        auto out = lines(r.out);
        ASSERT_FALSE(out.empty());
        std::vector<std::string> files;
        for (size_t i = 1; i < out.size(); ++i) files.push_back(split(out[i], '\t')[0]);
        EXPECT_EQ(files, row.files);
    }
}

TEST(fb2cols_walk, files_the_detect_string_rejects_are_skipped_quietly_in_folders_with_a_note_when_named) {
    const Shelf shelf;
    const Result folder = run(shelf.path(), {"--tsv", "shelf"});
    EXPECT_EQ(folder.out.find("notes.txt"), std::string::npos);
    EXPECT_EQ(folder.err, "");

    const Result named = run(shelf.path(), {"--tsv", "shelf/notes.txt", "shelf/LOUD.FB2"});
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(named.out, "file\tgenre\taut_f\taut_l\ttitle\tseq\tseq_n\nshelf/LOUD.FB2\tprose\t\t\tLoud\tEcho\t26\n");
    EXPECT_NE(named.err.find("skipping shelf"), std::string::npos) << named.err;
    EXPECT_NE(named.err.find("notes.txt"), std::string::npos) << named.err;
    EXPECT_NE(named.err.find("EXT=\"FB2\""), std::string::npos) << named.err;
}

// ---- finding the plug-in

TEST(fb2cols_plugin, the_copy_beside_the_tool_is_used_when_none_is_named) {
    const Shelf shelf;
    const Result named = run(shelf.path(), {"--tsv", "-r", "shelf"});
    const Result beside = run(shelf.path(), {"--tsv", "-r", "shelf"}, false);
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_EQ(beside.out, named.out);
}

// ---- a plug-in of another kind: fb2cols shows whatever fields a plug-in declares

TEST(fb2cols_other_plugin, its_fields_detect_string_and_awkward_answers_are_handled) {
    const support::TempDir dir;
    fs::create_directories(dir.path() / "notes");
    dir.write("notes/a.txt", "first line\nsecond\n");
    dir.write("notes/b.MD", "only\n");
    dir.write("notes/c.fb2", "not for this plug-in\n");
    dir.write("notes/d.log", "not for this plug-in either\n");
    const std::string other = host_path(OTHER_PLUGIN).string();
    const std::string w_filler(1024, 'x'), a_filler(2048, 'x'); // the whole 2048-byte buffer, and not a byte more

    struct Row {
        const char *label;
        std::vector<std::string> args;
        int status;
        std::string out;
    } rows[] = {
        {"its own columns; a type the host does not show stays empty", {"--tsv", "notes"}, 0,
         "file\tfirst_line\tlines\tflag\tfiller\n"
         "notes/a.txt\tfirst line\t2\t\t" + w_filler + "\nnotes/b.MD\tonly\t1\t\t" + w_filler + "\n"},
        {"through the ANSI entry point", {"--tsv", "--ansi", "notes"}, 0,
         "file\tfirst_line\tlines\tflag\tfiller\n"
         "notes/a.txt\tfirst line\t2\t\t" + a_filler + "\nnotes/b.MD\tonly\t1\t\t" + a_filler + "\n"},
        // the reader knows nothing of these fields, so a file without values is no failure
        {"no values is no failure", {"--json", "--why", "gone.txt"}, 0,
         "[\n  {\"file\": \"gone.txt\", \"first_line\": null, \"lines\": null, \"flag\": null, "
         "\"filler\": null, \"why\": null}\n]\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), {"--plugin", other});
        const Result r = run(dir.path(), args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, "");
    }

    const Result named = run(dir.path(), {"--plugin", other, "--tsv", "notes/c.fb2"});
    EXPECT_NE(named.err.find("(EXT=\"TXT\" | EXT=\"MD\") & !EXT=\"FB2\""), std::string::npos) << named.err;
}

// ---- the project's example books, against the reader itself

std::string expected_cell(const FB2TitleInfo &info, int32_t field) {
    const auto data = info.GetFieldData(field);
    if (data.empty()) return "";
    if (ContentFields[field].f_type == 1) {
        uint32_t u = 0;
        for (int k = 0; k < 4; ++k) u |= std::to_integer<uint32_t>(data[k]) << (8 * k);
        return std::to_string(static_cast<int32_t>(u));
    }
    std::u16string units;
    for (size_t k = 0; k + 3 < data.size(); k += 2)
        units.push_back(static_cast<char16_t>(std::to_integer<unsigned>(data[k]) |
                                              std::to_integer<unsigned>(data[k + 1]) << 8));
    return text::tsv_escaped(unicode::utf16_to_utf8(units));
}

// the reader's Windows back end drives a COM object on the calling thread
struct ComScope {
#ifdef _WIN32
    ComScope() : ok(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComScope() {
        if (ok) CoUninitialize();
    }
    bool ok;
#endif
};

TEST(fb2cols_examples, every_example_book_shows_what_the_reader_reads) {
    [[maybe_unused]] const ComScope com;
    const fs::path dir = host_path(support::examples_dir().string());
    std::vector<fs::path> books;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.path().extension() == ".fb2") books.push_back(e.path());
    if (books.empty()) GTEST_SKIP() << "no example books in " << dir.string();
    std::sort(books.begin(), books.end());

    for (const char *entry : {"wide", "ansi"}) {
        SCOPED_TRACE(entry);
        std::vector<std::string> args{"--tsv", "--why", "."};
        if (entry == std::string("ansi")) args.insert(args.begin(), "--ansi");
        const Result r = run(dir, args);
        EXPECT_EQ(r.status, 0) << r.err;
        const auto out = lines(r.out);
        ASSERT_EQ(out.size(), books.size() + 1) << r.out;
        for (size_t b = 0; b < books.size(); ++b) {
            SCOPED_TRACE(books[b].filename().string());
#ifdef _WIN32
            // the ANSI code page of the machine decides what Russian text survives
            if (entry == std::string("ansi") && GetACP() != 1251) continue;
#endif
            const auto cells = split(out[b + 1], '\t');
            ASSERT_EQ(cells.size(), 8u);
            EXPECT_EQ(fs::path(cells[0]).filename(), books[b].filename());
            const FB2TitleInfo info(books[b].u16string());
            for (int32_t f = 0; f < ContentFieldCount; ++f)
                EXPECT_EQ(cells[f + 1], expected_cell(info, f)) << ContentFields[f].f_name;
            EXPECT_EQ(cells[7], "");
            EXPECT_NE(cells[4], "") << "every example has a title";
        }
    }
}

// ---- the real corpus: a book the index calls not well-formed is a failed row, with a reason

TEST(fb2cols_corpus, books_that_are_not_well_formed_are_the_failed_rows) {
    const fs::path corpus = support::corpus_dir();
    if (corpus.empty()) GTEST_SKIP() << "no corpus beside the checkout";
    std::ifstream index(corpus / "INDEX.tsv");
    std::string line;
    std::getline(index, line);
    const auto head = split(line, '\t');
    const auto column = std::find(head.begin(), head.end(), "parse") - head.begin();
    ASSERT_LT(static_cast<size_t>(column), head.size());
    // names are matched as written, so a prefix the index's namespace-aware parse calls unbound is no fault here
    std::vector<std::pair<std::string, bool>> books; // name, broken
    while (std::getline(index, line)) {
        const auto cells = split(line, '\t');
        if (cells.size() <= static_cast<size_t>(column)) continue;
        const std::string &parse = cells[column];
        books.emplace_back(cells[0], parse.starts_with("not well-formed") || parse.starts_with("not XML"));
    }

    const Result r = run(host_path(corpus.string()), {"--tsv", "--why", "-r", "."});
    EXPECT_EQ(r.status, 1) << "the corpus has broken books";
    const auto out = lines(r.out);
    ASSERT_EQ(out.size(), books.size() + 1);
    std::map<std::string, std::string> why;
    for (size_t i = 1; i < out.size(); ++i) {
        const auto cells = split(out[i], '\t');
        ASSERT_EQ(cells.size(), 8u) << out[i];
        why[fs::path(cells[0]).filename().string()] = cells[7];
    }
    for (const auto &[name, broken] : books) {
        SCOPED_TRACE(name);
        ASSERT_EQ(why.count(name), 1u);
        if (broken) {
            EXPECT_NE(why[name], "");
        }
    }
}

// ---- the detect-string evaluator

TEST(detect_string, accepts_files_by_extension) {
    struct Row {
        const char *expression, *file;
        bool accepted;
    } rows[] = {
        {"EXT=\"FB2\"", "a.fb2", true},
        {"EXT=\"FB2\"", "A.FB2", true},
        {"EXT=\"FB2\"", "dir.x/a.Fb2", true},
        {"EXT=\"FB2\"", ".fb2", true},
        {"EXT=\"FB2\"", "a.fb2.zip", false},
        {"EXT=\"FB2\"", "fb2", false},
        {"EXT=\"FB2\"", "a.fb", false},
        {"EXT=\"FB2\"", "a.fb22", false},
        {"EXT=\"FB2\"", "a.", false},
        {"EXT=\"FB2\" | EXT=\"FBD\"", "x.fbd", true},
        {"EXT=\"FB2\" | EXT=\"FBD\"", "x.txt", false},
        {"EXT=\"FB2\"&!EXT=\"ZIP\"", "x.fb2", true},
        {"!(EXT=\"TXT\" | EXT=\"ZIP\")", "x.zip", false},
        {"!(EXT=\"TXT\" | EXT=\"ZIP\")", "x.fb2", true},
        {"!!EXT=\"TXT\"", "x.txt", true},
        {"EXT!=\"TXT\"", "x.txt", false},
        {"EXT!=\"TXT\"", "x.doc", true},
        // & binds tighter than |: A | (B & C)
        {"EXT=\"A\" | EXT=\"B\" & EXT=\"C\"", "x.a", true},
        {"(EXT=\"A\" | EXT=\"B\") & EXT=\"C\"", "x.a", false},
        {"  ext = \"fb2\"  ", "x.FB2", true},
        {"EXT=\"\"", "noext", true},
        {"", "anything.at.all", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.expression) + " on " + row.file);
        EXPECT_EQ(detect::Expression::parse(row.expression).accepts_file(fs::u8path(row.file)), row.accepted);
    }
}

TEST(detect_string, refuses_what_it_does_not_understand) {
    const std::string deep = std::string(300, '(') + "EXT=\"A\"" + std::string(300, ')');
    for (const std::string &expression :
         {std::string("EXT=FB2"), std::string("EXT=\"FB2"), std::string("SIZE>10"), std::string("(EXT=\"A\""),
          std::string("EXT=\"A\" |"), std::string("EXT=\"A\" EXT=\"B\""), std::string("FORCE"),
          std::string("EXT"), std::string("EXT==\"A\""), std::string(")"), deep}) {
        SCOPED_TRACE(expression);
        EXPECT_THROW(detect::Expression::parse(expression), detect::SyntaxError);
    }
}

// ---- text as it is printed

TEST(text_width, counts_terminal_columns) {
    struct Row {
        const char *label, *text;
        size_t width;
    } rows[] = {
        {"empty", "", 0},
        {"ASCII", "abc", 3},
        {"Cyrillic, one column a letter", "Война и мир", 11},
        {"CJK, two columns a character", "Cool Reader 指南", 16},
        {"a combining accent takes none", "e\xCC\x81t\xC3\xA9", 3},
        {"a byte-order mark takes none", "\xEF\xBB\xBF" "a", 1},
        {"an astral-plane wide character", "\xF0\x9F\x93\x96", 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(text::display_width(row.text), row.width);
    }
}

TEST(text_escape, tsv_json_and_table_forms) {
    struct Row {
        const char *label;
        std::string in, tsv, json, cell;
    } rows[] = {
        {"plain", "Война", "Война", "\"Война\"", "Война"},
        {"quote and backslash", "a\"b\\c", "a\"b\\\\c", "\"a\\\"b\\\\c\"", "a\"b\\c"},
        {"tab and line breaks", "a\tb\nc\rd", "a\\tb\\nc\\rd", "\"a\\tb\\nc\\rd\"", "a\\tb\\nc\\rd"},
        {"other C0 controls", std::string("a\x01\x1f", 3), "a\\x01\\x1f", "\"a\\u0001\\u001f\"", "a\\x01\\x1f"},
        {"backspace and form feed", "\b\f", "\\x08\\x0c", "\"\\b\\f\"", "\\x08\\x0c"},
        // a file named so would set the terminal's title
        {"an escape sequence", "x\x1b]0;owned\x07y", "x\\x1b]0;owned\\x07y", "\"x\\u001b]0;owned\\u0007y\"",
         "x\\x1b]0;owned\\x07y"},
        {"DEL", "a\x7f", "a\\x7f", "\"a\\u007f\"", "a\\x7f"},
        // C1 controls in UTF-8: CSI (U+009B) starts a sequence on many terminals
        {"C1 controls", "a\xC2\x9B" "2J\xC2\x85", "a\\u009b2J\\u0085", "\"a\\u009b2J\\u0085\"", "a\\u009b2J\\u0085"},
        {"no C1: letters around U+0080", "\xC2\xA0\xC3\x80\xD0\x96", "\xC2\xA0\xC3\x80\xD0\x96",
         "\"\xC2\xA0\xC3\x80\xD0\x96\"", "\xC2\xA0\xC3\x80\xD0\x96"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(text::tsv_escaped(row.in), row.tsv);
        EXPECT_EQ(text::json_quoted(row.in), row.json);
        EXPECT_EQ(text::visible(row.in), row.cell);
    }
}

TEST(text_escape, invalid_utf8_is_replaced_so_output_stays_valid) {
    EXPECT_EQ(text::valid_utf8("ok\xFF" "ok"), "ok\xEF\xBF\xBDok");
    EXPECT_EQ(text::valid_utf8("Книга"), "Книга");
}

TEST(text_width, counts_the_cells_of_every_kind_of_character) {
    struct Row {
        const char *label, *text;
        size_t width;
    } rows[] = {
        {"Hangul syllables, two cells each", "\xED\x95\x9C\xEA\xB8\x80", 4},
        {"hiragana and katakana", "\xE3\x81\x8B\xE3\x82\xAB", 4},
        {"fullwidth Latin", "\xEF\xBC\xA1\xEF\xBC\xA2", 4},
        {"the ideographic space", "\xE3\x80\x80", 2},
        {"halfwidth katakana, one cell", "\xEF\xBD\xB6", 1},
        {"a CJK extension B character", "\xF0\xA0\x80\x80", 2},
        {"Cyrillic with a combining stress mark", "\xD0\xB7\xD0\xB0\xCC\x81\xD0\xBC\xD0\xBE\xD0\xBA", 5},
        {"Hebrew points take none", "\xD7\xA9\xD6\xB8\xD7\x9C", 2},
        {"a zero-width joiner takes none", "a\xE2\x80\x8D" "b", 2},
        {"the ellipsis takes one", "\xE2\x80\xA6", 1},
        {"Greek and Latin-1", "\xCE\xB1\xC3\xA9", 2},
        {"an emoji", "\xF0\x9F\x98\x80", 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(text::display_width(row.text), row.width);
    }
}

TEST(text_cut, keeps_whole_characters_and_ends_a_cut_with_an_ellipsis) {
    const std::string e = "\xE2\x80\xA6";
    struct Row {
        const char *label;
        std::string in;
        size_t cells;
        std::string out;
    } rows[] = {
        {"fits", "abc", 3, "abc"},
        {"fits with room", "abc", 10, "abc"},
        {"ASCII cut", "abcdef", 4, "abc" + e},
        {"one cell: the ellipsis alone", "abcdef", 1, e},
        {"no cells", "abcdef", 0, ""},
        {"Cyrillic cut on letters", "Ночной дозор", 6, "Ночно" + e},
        {"CJK, even room", "指南指南指南", 5, "指南" + e},
        // three cells before the ellipsis: the third would split a character, so it stays empty
        {"CJK, odd room", "指南指南指南", 4, "指" + e},
        {"CJK, no room for one", "指南指南", 2, e},
        {"a combining mark stays with its letter", "e\xCC\x81" "eeee", 3, "e\xCC\x81" "e" + e},
        {"mixed scripts", "Tom 指南 Том", 7, "Tom 指" + e},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const std::string out = text::cut(row.in, row.cells);
        EXPECT_EQ(out, row.out);
        EXPECT_LE(text::display_width(out), row.cells);
        EXPECT_TRUE(text::is_utf8(out));
    }
}

TEST(text_names, utf16_names_become_utf8_with_a_replacement_for_what_is_not_a_character) {
    struct Row {
        const char *label;
        std::u16string in;
        std::string out;
    } rows[] = {
        {"plain", u"Книга.fb2", "Книга.fb2"},
        {"a pair", u"\U0001F4D6.fb2", "\xF0\x9F\x93\x96.fb2"},
        {"a lone high surrogate", std::u16string(u"a") + char16_t(0xD800) + u".fb2", "a\xEF\xBF\xBD.fb2"},
        {"a lone low surrogate", std::u16string(u"a") + char16_t(0xDC00) + u"b", "a\xEF\xBF\xBD" "b"},
        {"two high surrogates, then a low", std::u16string{0xD800, 0xD801, 0xDC00}, "\xEF\xBF\xBD\xF0\x90\x90\x80"},
        {"a high surrogate at the end", std::u16string(u"x") + char16_t(0xDBFF), "x\xEF\xBF\xBD"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(text::from_utf16(row.in), row.out);
    }
}

TEST(text_numbers, thousands_are_grouped) {
    struct Row {
        uint64_t n;
        const char *out;
    } rows[] = {{0, "0"}, {999, "999"}, {1000, "1,000"}, {2610, "2,610"}, {100000, "100,000"}, {1234567, "1,234,567"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.out);
        EXPECT_EQ(text::grouped(row.n), row.out);
    }
}

// ---- the table's layout on a terminal

std::vector<layout::Column> shape(std::initializer_list<std::array<size_t, 3>> columns) {
    std::vector<layout::Column> out;
    for (const auto &c : columns) out.push_back({c[0], c[1], c[2] != 0});
    return out;
}

TEST(fb2cols_layout, the_file_column_first_then_the_longest_text_columns) {
    struct Row {
        const char *label;
        std::vector<layout::Column> columns; // natural, name, number
        size_t width;
        std::vector<size_t> widths;
    } rows[] = {
        {"it fits: nothing changes", shape({{10, 4, 0}, {6, 5, 0}, {3, 5, 1}}), 40, {10, 6, 3}},
        {"exactly fits", shape({{10, 4, 0}, {6, 5, 0}}), 18, {10, 6}},
        {"only the file column gives", shape({{30, 4, 0}, {10, 1, 0}}), 30, {18, 10}},
        // the file keeps a quarter of the line; the long column shrinks, the short one and the number stay
        {"then the longest text column", shape({{20, 4, 0}, {6, 5, 0}, {50, 5, 0}, {3, 5, 1}}), 40, {10, 6, 15, 3}},
        {"two long columns share the cut", shape({{8, 4, 0}, {40, 5, 0}, {40, 5, 0}}), 40, {8, 14, 14}},
        {"the cells left over go to the leftmost", shape({{8, 4, 0}, {40, 5, 0}, {40, 5, 0}}), 41, {8, 15, 14}},
        {"no text column below its name", shape({{8, 4, 0}, {40, 5, 0}, {40, 5, 0}, {9, 5, 1}}), 30, {5, 5, 5, 9}},
        {"narrower than the names: every column, numbers too", shape({{10, 4, 0}, {10, 5, 0}, {10, 5, 1}}), 10,
         {2, 2, 2}},
        {"one cell each at the least", shape({{10, 4, 0}, {10, 5, 0}, {10, 5, 1}}), 5, {1, 1, 1}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const std::vector<size_t> widths = layout::fit(row.columns, row.width);
        EXPECT_EQ(widths, row.widths);
        if (layout::line_width(row.widths) <= row.width) {
            EXPECT_LE(layout::line_width(widths), row.width);
        }
    }
}

TEST(fb2cols_layout, any_shape_fits_and_no_column_grows) {
    std::mt19937 rng(11);
    for (int round = 0; round < 2000; ++round) {
        const size_t n = 1 + rng() % 9;
        std::vector<layout::Column> columns;
        for (size_t i = 0; i < n; ++i) {
            const size_t name = 1 + rng() % 6;
            columns.push_back({name + rng() % (rng() % 2 ? 10 : 200), name, i > 0 && rng() % 4 == 0});
        }
        const size_t width = 3 * n + rng() % 250;
        SCOPED_TRACE("round " + std::to_string(round) + ", width " + std::to_string(width));
        const std::vector<size_t> w = layout::fit(columns, width);
        ASSERT_EQ(w.size(), n);
        EXPECT_LE(layout::line_width(w), width);
        std::vector<size_t> floors;
        for (size_t i = 0; i < n; ++i) {
            EXPECT_LE(w[i], columns[i].natural);
            EXPECT_GE(w[i], 1u);
            floors.push_back(columns[i].number ? columns[i].natural : std::min(columns[i].natural, columns[i].name));
        }
        // a number is cut only when whole numbers and the text columns' names do not fit
        const bool names_fit = layout::line_width(floors) <= width;
        for (size_t i = 0; i < n; ++i)
            if (columns[i].number && names_fit) {
                EXPECT_EQ(w[i], columns[i].natural) << i;
            }
    }
}

TEST(fb2cols_layout, a_line_is_cut_cell_by_cell_and_never_wider_than_the_terminal) {
    const std::string e = "\xE2\x80\xA6";
    struct Row {
        const char *label;
        std::vector<std::string> cells;
        std::vector<size_t> widths;
        std::vector<bool> right;
        size_t width;
        std::string out;
    } rows[] = {
        {"padded, no trailing blanks", {"a", "bb", ""}, {3, 3, 2}, {false, false, false}, 80, "a    bb"},
        {"numbers to the right", {"a", "7"}, {3, 3}, {false, true}, 80, "a      7"},
        {"a cut cell", {"abcdef", "x"}, {4, 1}, {false, false}, 80, "abc" + e + "  x"},
        // the free cell a wide character leaves is padding
        {"a cut before a wide character", {"指南指", "x"}, {4, 1}, {false, false}, 80, "指" + e + "   x"},
        {"more columns than cells", {"a", "b", "c", "d"}, {1, 1, 1, 1}, {false, false, false, false}, 5, "a  b" + e},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const std::string out = layout::line(row.cells, row.widths, row.right, row.width);
        EXPECT_EQ(out, row.out);
        EXPECT_LE(text::display_width(out), row.width);
    }
}

// ---- many threads, one order

struct CountingScope {
    static inline std::atomic<int> made{0}, alive{0};
    CountingScope() { ++made, ++alive; }
    ~CountingScope() { --alive; }
};

TEST(fb2cols_jobs, results_come_in_order_whatever_finishes_first) {
    struct Row {
        size_t count;
        unsigned threads;
        size_t window;
    } rows[] = {{0, 4, 8}, {1, 4, 8}, {7, 1, 8}, {7, 2, 1}, {200, 2, 4}, {200, 4, 8}, {200, 8, 2}, {500, 3, 64}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.count) + " items, " + std::to_string(row.threads) + " threads, window " +
                     std::to_string(row.window));
        CountingScope::made = 0;
        std::atomic<size_t> pending{0}, most_pending{0};
        std::vector<size_t> seen;
        size_t ticks = 0;
        ordered::run<CountingScope, size_t>(
            row.count, row.threads, row.window,
            [&](size_t i) {
                const size_t now = ++pending;
                for (size_t m = most_pending; now > m && !most_pending.compare_exchange_weak(m, now);) {
                }
                // later items often finish first
                std::this_thread::sleep_for(std::chrono::microseconds((i * 7919) % 13 * 40));
                return i * i;
            },
            [&](size_t i, size_t &&result) {
                EXPECT_EQ(result, i * i);
                seen.push_back(i);
                --pending;
            },
            [&] { ++ticks; });
        std::vector<size_t> expected(row.count);
        for (size_t i = 0; i < row.count; ++i) expected[i] = i;
        EXPECT_EQ(seen, expected);
        // computed and not yet taken: never more than the window (or one per thread), and the one being taken
        EXPECT_LE(most_pending.load(), std::max<size_t>(row.window, row.threads) + 1);
        EXPECT_EQ(CountingScope::alive.load(), 0);
        const bool threaded = row.threads > 1 && row.count > 1;
        EXPECT_EQ(static_cast<size_t>(CountingScope::made.load()),
                  threaded ? std::min<size_t>(row.threads, row.count) : 0u);
        EXPECT_GE(ticks, row.count);
    }
}

TEST(fb2cols_jobs, a_failure_comes_out_in_its_turn_and_stops_the_workers) {
    for (unsigned threads : {1u, 2u, 4u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        std::vector<size_t> seen;
        const auto failing_work = [&] {
            ordered::run<CountingScope, size_t>(
                300, threads, 16,
                [](size_t i) -> size_t {
                    if (i == 37) throw std::runtime_error("item 37");
                    return i;
                },
                [&](size_t i, size_t &&) { seen.push_back(i); }, [] {});
        };
        EXPECT_THROW(failing_work(), std::runtime_error);
        EXPECT_EQ(seen.size(), 37u) << "every item before the failing one, none after";
        // a failure in take: run leaves at once, the workers joined
        size_t taken = 0;
        const auto failing_take = [&] {
            ordered::run<CountingScope, size_t>(
                300, threads, 16, [](size_t i) { return i; },
                [&](size_t i, size_t &&) {
                    ++taken;
                    if (i == 5) throw std::runtime_error("take 5");
                },
                [] {});
        };
        EXPECT_THROW(failing_take(), std::runtime_error);
        EXPECT_EQ(taken, 6u);
        EXPECT_EQ(CountingScope::alive.load(), 0);
    }
}

} // namespace
