// fb2cols end to end: the built tool loads the built plug-in and reads books written here, the
// project's examples and the real corpus; plus the detect-string evaluator and text helpers it uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "FB2_Info.h"
#include "detect.h"
#include "layout.h"
#include "ordered.h"
#include "os.h"
#include "fb2cols_support.h"
#include "support.h"
#include "text.h"
#include "unicode.h"

namespace fs = std::filesystem;

namespace {

using namespace fb2cols_test;
using support::host_path;

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
    EXPECT_EQ(r.err, "fb2cols: shelf has books in subfolders, which -r reads too\n");
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
        {"a broken book", {"broken/truncated.fb2"}, 1, "1 of 1 books could not be read"},
        {"a broken book among good ones", {"-r", "shelf", "broken"}, 1, "1 of 5 books could not be read"},
        {"a missing book", {"gone.fb2"}, 1, "fb2cols: gone.fb2: no such file or folder"},
        {"a missing folder", {"no-such-folder"}, 1, "fb2cols: no-such-folder: no such file or folder"},
        {"a missing folder among good ones", {"-r", "shelf", "no-such-folder"}, 1, "no-such-folder: no such file or folder"},
        {"an empty name", {""}, 1, "fb2cols: : no such file or folder"},
        {"a rejected file is noted, not a failure", {"shelf/notes.txt"}, 0, "skipping shelf"},
        {"help", {"--help"}, 0, ""},
        {"version", {"--version"}, 0, ""},
        {"no arguments at all", {}, 2, "fb2cols: no files or folders given", false},
        {"only options", {"--tsv"}, 2, "fb2cols: no files or folders given"},
        {"unknown option", {"--colour", "shelf"}, 2, "fb2cols: unknown option '--colour'"},
        {"tsv and json", {"--tsv", "--json", "shelf"}, 2, "fb2cols: --tsv and --json exclude each other"},
        {"-j without a number", {"shelf", "-j"}, 2, "fb2cols: -j needs a number of threads"},
        {"-j 0", {"-j", "0", "shelf"}, 2, "fb2cols: -j needs a number of threads from 1 to 1024, not '0'"},
        {"-j too many", {"-j2000", "shelf"}, 2, "fb2cols: -j needs a number of threads from 1 to 1024, not '2000'"},
        {"--jobs not a number", {"--jobs=many", "shelf"}, 2, "fb2cols: --jobs needs a number of threads"},
        {"-j given its number three ways", {"-j", "2", "-j3", "--jobs=4", "shelf/LOUD.FB2"}, 0, ""},
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
        {"no values, yet read fine", "other.fb2", "<?xml version=\"1.0\"?>\n<other><title-info/></other>\n",
         "its root element is <other>, not <FictionBook>: no column comes from it", 0},
        {"a good book", "good.fb2", fb2("<book-title>Fine</book-title>"), "", 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        dir.write(row.name, row.content);
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
        if (row.why.empty()) {
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

// ---- the command line for scripts

TEST(fb2cols_options, columns_headers_formats_lists_and_bad_usage) {
    const Shelf shelf;
    shelf.dir.write("list.txt", "shelf/LOUD.FB2\n\nshelf/a-series.fb2\nshelf/LOUD.FB2\n");
    shelf.dir.write("list0", std::string("shelf/a-series.fb2\0shelf/LOUD.FB2\0", 34));
    shelf.dir.write("tricky", std::string("/etc/passwd\0.fb2\n", 17)); // the system would open /etc/passwd
    const std::string head = "file\tgenre\taut_f\taut_l\ttitle\tseq\tseq_n\n";
    const std::string columns = "(the columns are file, genre, aut_f, aut_l, title, seq, seq_n, why)";
    struct Row {
        const char *label;
        std::vector<std::string> args;
        std::optional<std::string> input; // standard input
        int status;
        std::string out, err;
    } rows[] = {
        {"-o picks and orders", {"--tsv", "-o", "seq_n,title", "shelf/LOUD.FB2"}, {}, 0, "seq_n\ttitle\n26\tLoud\n", ""},
        {"-n drops the header", {"--tsv", "-n", "-o", "file", "shelf/LOUD.FB2"}, {}, 0, "shelf/LOUD.FB2\n", ""},
        {"short options combined, a value in the next argument", {"-rno", "title", "--tsv", "shelf"}, {}, 0,
         "Loud\nНочной дозор\nДело о компасе\nDeep\n", ""},
        {"a value in the same argument", {"-rnj2", "--tsv", "-ofile", "shelf/sub"}, {}, 0, "shelf/sub/c-deep.fb2\n", ""},
        {"JSON Lines", {"--jsonl", "-o", "file,seq_n", "shelf/LOUD.FB2", "shelf/sub/c-deep.fb2"}, {}, 0,
         "{\"file\": \"shelf/LOUD.FB2\", \"seq_n\": 26}\n{\"file\": \"shelf/sub/c-deep.fb2\", \"seq_n\": -7}\n", ""},
        {"JSON with --columns=", {"--json", "--columns=title", "shelf/LOUD.FB2"}, {}, 0, "[\n  {\"title\": \"Loud\"}\n]\n", ""},
        {"the table with -o and -n", {"-n", "-o", "title,seq_n", "shelf/LOUD.FB2", "shelf/a-series.fb2"}, {}, 0,
         "Loud             26\nНочной дозор      3\n", ""},
        {"--why after -o", {"--tsv", "-n", "--why", "-o", "title", "shelf/LOUD.FB2"}, {}, 0, "Loud\t\n", ""},
        {"a list, a name in it twice asked once", {"--tsv", "-n", "-o", "file", "--files-from", "list.txt"}, {}, 0,
         "shelf/LOUD.FB2\nshelf/a-series.fb2\n", ""},
        {"a list of NUL-separated names", {"--tsv", "-n", "-o", "file", "-0", "--files-from=list0"}, {}, 0,
         "shelf/a-series.fb2\nshelf/LOUD.FB2\n", ""},
        {"standard input, where it stands among the names",
         {"--tsv", "-n", "-o", "file", "shelf/LOUD.FB2", "--files-from", "-", "shelf/sub/c-deep.fb2"},
         "shelf/b-cp1251.fb2\n", 0, "shelf/LOUD.FB2\nshelf/b-cp1251.fb2\nshelf/sub/c-deep.fb2\n", ""},
        {"an empty list is no fault", {"--tsv", "--files-from", "-"}, "", 0, head, ""},
        {"an unknown column", {"-o", "titel", "shelf"}, {}, 2, "",
         "fb2cols: no column 'titel' " + columns + "; try fb2cols --help\n"},
        {"a column twice (a JSON object cannot hold it)", {"--json", "-o", "title,seq,title", "shelf"}, {}, 2, "",
         "fb2cols: the column 'title' is named twice; try fb2cols --help\n"},
        {"a NUL in a list of lines", {"--files-from", "tricky"}, {}, 2, "",
         "fb2cols: the list tricky holds a NUL byte (-0 takes its names NUL-separated); try fb2cols --help\n"},
        {"an unknown option", {"-x", "shelf"}, {}, 2, "", "fb2cols: unknown option '-x'; try fb2cols --help\n"},
        {"an unknown option among others", {"-rx", "shelf"}, {}, 2, "",
         "fb2cols: unknown option '-x' in '-rx'; try fb2cols --help\n"},
        {"a flag given a value", {"--tsv=yes", "shelf"}, {}, 2, "", "fb2cols: unknown option '--tsv=yes'; try fb2cols --help\n"},
        {"two formats", {"--tsv", "--jsonl", "shelf"}, {}, 2, "",
         "fb2cols: --tsv and --jsonl exclude each other; try fb2cols --help\n"},
        {"an empty column name", {"-o", ",title", "shelf"}, {}, 2, "",
         "fb2cols: -o needs column names separated by commas, not ',title'; try fb2cols --help\n"},
        {"-o with nothing after it", {"shelf", "-o"}, {}, 2, "", "fb2cols: -o needs a list of columns; try fb2cols --help\n"},
        {"a list that is not there", {"--files-from", "gone.txt"}, {}, 2, "",
         "fb2cols: cannot read the list gone.txt: no such file or folder\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const Result r = run(shelf.path(), row.args, true, false, row.input ? &*row.input : nullptr);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.err, row.err);
    }
}

TEST(fb2cols_output, a_value_of_any_length_comes_whole_in_every_format) {
    const support::TempDir dir;
    std::string ascii, cyrillic;
    while (ascii.size() < 7000) ascii += "A very long title, part " + std::to_string(ascii.size()) + ". ";
    while (cyrillic.size() < 14000) cyrillic += "Очень длинное название " + std::to_string(cyrillic.size()) + ". ";
    ascii += "end", cyrillic += "конец"; // (the table drops blanks at a line's end)
    dir.write("ascii.fb2", fb2("<book-title>" + ascii + "</book-title>"));
    dir.write("cyrillic.fb2", fb2("<book-title>" + cyrillic + "</book-title>"));
    struct Row {
        const char *label;
        std::vector<std::string> args;
        const std::string &title;
        bool cyrillic;
    } rows[] = {
        {"TSV", {"--tsv", "cyrillic.fb2"}, cyrillic, true},
        {"JSON", {"--json", "cyrillic.fb2"}, cyrillic, true},
        {"the table", {"cyrillic.fb2"}, cyrillic, true},
        {"ANSI", {"--ansi", "--tsv", "ascii.fb2"}, ascii, false},
        {"ANSI, Cyrillic", {"--ansi", "--tsv", "cyrillic.fb2"}, cyrillic, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
#ifdef _WIN32
        if (row.cyrillic && row.args.front() == "--ansi" && GetACP() != 1251) continue;
#endif
        const Result r = run(dir.path(), row.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.title), std::string::npos) << r.out.size();
    }
}

#ifndef _WIN32
TEST(fb2cols_output, a_failed_write_is_status_1) {
    const Shelf shelf;
    const std::string cmd = "cd " + quoted(shelf.path().string()) + " && " + quoted(tool().string()) +
                            " --tsv -r shelf >/dev/full 2>" + quoted((shelf.path() / "err").string());
    const int raw = std::system(cmd.c_str());
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1);
    EXPECT_EQ(slurp(shelf.path() / "err"), "fb2cols: cannot write the output\n");
}
#endif

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
    const Result folder = run(shelf.path(), {"--tsv", "-r", "shelf"});
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
    dir.write("empty.txt", "");
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
        {"no values is no failure", {"--json", "--why", "empty.txt"}, 0,
         "[\n  {\"file\": \"empty.txt\", \"first_line\": null, \"lines\": null, \"flag\": null, "
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
    constexpr auto L = layout::Align::left, R = layout::Align::right, P = layout::Align::path;
    struct Row {
        const char *label;
        std::vector<std::string> cells;
        std::vector<size_t> widths;
        std::vector<layout::Align> align;
        size_t width;
        std::string out;
    } rows[] = {
        {"padded, no trailing blanks", {"a", "bb", ""}, {3, 3, 2}, {L, L, L}, 80, "a    bb"},
        {"numbers to the right", {"a", "7"}, {3, 3}, {L, R}, 80, "a      7"},
        {"a cut cell", {"abcdef", "x"}, {4, 1}, {L, L}, 80, "abc" + e + "  x"},
        // the free cell a wide character leaves is padding
        {"a cut before a wide character", {"指南指", "x"}, {4, 1}, {L, L}, 80, "指" + e + "   x"},
        {"more columns than cells", {"a", "b", "c", "d"}, {1, 1, 1, 1}, {L, L, L, L}, 5, "a  b" + e},
        // a path keeps its end, what tells its rows apart
        {"a path cut from the left", {"shelf/sub/book-12.fb2", "x"}, {13, 1}, {P, L}, 80, e + "/book-12.fb2  x"},
        {"a path cut before a wide character", {"книги/指南指.fb2", "x"}, {8, 1}, {P, L}, 80, e + "指.fb2   x"},
        {"a path that fits", {"a/b.fb2", "x"}, {9, 1}, {P, L}, 80, "a/b.fb2    x"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const std::string out = layout::line(row.cells, row.widths, row.align, row.width);
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

// A library with every kind of book a run meets: good ones in many folders, broken, empty, unreadable,
// gone between the listing and the read, and (on POSIX) named in bytes that are not UTF-8.
struct Library {
    support::TempDir dir;
    bool posix_extras = false;
    // 150 books in six folders, 21 of them broken (9 truncated, 7 empty, 5 bad numbers), and the rest
    size_t books = 151, failures = 21;
    Library() {
        for (int f = 0; f < 6; ++f) {
            for (int b = 0; b < 25; ++b) {
                const std::string name = "lib/f" + std::to_string(f) + "/book-" + std::to_string(b) + ".fb2";
                fs::create_directories((dir.path() / name).parent_path());
                const int k = f * 25 + b;
                if (k % 17 == 3) dir.write(name, "<?xml version=\"1.0\"?>\n<FictionBook><description><title-info>");
                else if (k % 23 == 5) dir.write(name, "");
                else if (k % 29 == 7) dir.write(name, fb2("<sequence name=\"S\" number=\"n" + std::to_string(k) + "\"/>"));
                else
                    dir.write(name, fb2("<genre>prose</genre><author><first-name>Иван</first-name><last-name>Автор " +
                                        std::to_string(k) + "</last-name></author><book-title>Книга номер " +
                                        std::to_string(k) + "</book-title><sequence name=\"Серия\" number=\"" +
                                        std::to_string(k % 7) + "\"/>"));
            }
        }
        const fs::path unreadable = dir.write("lib/f2/unreadable.fb2", fb2("<book-title>Locked</book-title>"));
        fs::permissions(unreadable, fs::perms::none);
        fs::create_directories(dir.path() / "lib/locked");
        dir.write("lib/locked/inside.fb2", fb2("<book-title>Inside</book-title>"));
        fs::permissions(dir.path() / "lib/locked", fs::perms::none);
        // permissions bind only some users (not root)
        if (!std::ifstream(unreadable)) ++failures;
        std::error_code ec;
        if (fs::directory_iterator(dir.path() / "lib/locked", ec) != fs::directory_iterator()) ++books;
#ifndef _WIN32
        // gone: the folder lists the name, the read finds nothing
        fs::create_symlink("nowhere.fb2", dir.path() / "lib/f1/gone.fb2");
        dir.write("lib/f3/bad\xFF" "name.fb2", fb2("<book-title>Bytes</book-title>"));
        posix_extras = true;
        books += 2;
        failures += 1; // the name that is not UTF-8 is read all the same
#endif
    }
    ~Library() {
        std::error_code ec;
        fs::permissions(dir.path() / "lib/locked", fs::perms::owner_all, ec);
    }
    const fs::path &path() const { return dir.path(); }
};

TEST(fb2cols_jobs, every_thread_count_prints_what_one_thread_prints) {
    const Library library;
    struct Row {
        const char *label;
        std::vector<std::string> args;
    } rows[] = {
        {"table", {"-r", "lib"}},
        {"table with why", {"-r", "--why", "lib"}},
        {"tsv", {"-r", "--tsv", "lib"}},
        {"tsv with why", {"-r", "--tsv", "--why", "lib"}},
        {"json", {"-r", "--json", "lib"}},
        {"json with why", {"-r", "--json", "--why", "lib"}},
        {"ansi, one level", {"--tsv", "--ansi", "--why", "lib/f2"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<std::string> one = row.args, many = row.args;
        one.insert(one.begin(), {"-j", "1"});
        many.insert(many.begin(), {"-j", "4"});
        const Result a = run(library.path(), one);
        const Result b = run(library.path(), many);
        EXPECT_EQ(a.status, 1) << "broken books are there";
        EXPECT_EQ(b.status, a.status);
        EXPECT_EQ(b.out, a.out);
        EXPECT_EQ(b.err, a.err);
        EXPECT_GT(lines(a.out).size(), 25u);
        // the default (every core) too
        const Result c = run(library.path(), row.args);
        EXPECT_EQ(c.out, a.out);
    }
}

TEST(fb2cols_jobs, the_rows_of_broken_empty_and_vanished_books_say_why) {
    const Library library;
    const Result r = run(library.path(), {"-j", "3", "-r", "--tsv", "--why", "lib"});
    std::map<std::string, std::string> why;
    for (const std::string &line : lines(r.out)) {
        const auto cells = split(line, '\t');
        ASSERT_EQ(cells.size(), 8u) << line;
        why[cells[0]] = cells[7];
    }
    EXPECT_NE(why["lib/f0/book-3.fb2"], "") << "truncated";
    EXPECT_NE(why["lib/f0/book-5.fb2"], "") << "empty";
    EXPECT_EQ(why["lib/f0/book-7.fb2"], "''n7'' is not a valid integer value");
    EXPECT_EQ(why["lib/f0/book-0.fb2"], "");
    if (library.posix_extras) {
        EXPECT_EQ(why["lib/f1/gone.fb2"], "a link to nothing: nowhere.fb2 is not there");
        // the name's byte as TSV escapes it, and the book read by its bytes
        const std::string bad = "lib/f3/bad\\xffname.fb2";
        ASSERT_EQ(why.count(bad), 1u);
        EXPECT_EQ(why[bad], "");
    }
}

// ---- a table that fits the terminal

// Books with long values: Cyrillic and Chinese titles, a long folder name, numbers.
struct WideShelf {
    support::TempDir dir;
    std::vector<std::string> values;
    WideShelf() {
        const std::string folder = "shelf/a-folder-with-a-rather-long-name-for-books";
        fs::create_directories(dir.path() / folder);
        values = {"Очень длинное название книги о приключениях капитана Немо и его подводной лодки",
                  "红楼梦第一回甄士隐梦幻识通灵贾雨村风尘怀闺秀此开卷第一回也作者自云曾历过一番梦幻之后",
                  "Аркадий Стругацкий", "Пикник на обочине", "科幻小说",
                  "Библиотека приключений и научной фантастики"};
        dir.write(folder + "/first.fb2",
                  fb2("<genre>adventure</genre><author><first-name>Жюль</first-name><last-name>" + values[2] +
                      "</last-name></author><book-title>" + values[0] + "</book-title><sequence name=\"" + values[5] +
                      "\" number=\"12\"/>"));
        dir.write(folder + "/second.fb2", fb2("<genre>" + values[4] + "</genre><book-title>" + values[1] +
                                              "</book-title><sequence name=\"" + values[3] + "\" number=\"3\"/>"));
        dir.write(folder + "/third-with-a-long-name-too.fb2", fb2("<book-title>Short</book-title>"));
        // the file column is cut by the same rule
        for (const char *name : {"/first.fb2", "/second.fb2", "/third-with-a-long-name-too.fb2"})
            values.push_back(folder + name);
    }
    const fs::path &path() const { return dir.path(); }
};

const std::string ellipsis = "\xE2\x80\xA6";

// every value is in the table whole, or as a prefix of whole characters ending with the ellipsis
void expect_cut_on_characters(const std::string &table, const std::string &value) {
    if (table.find(value) != std::string::npos) return;
    bool found = false;
    for (size_t i = 0; i < value.size(); i = i + 1) {
        if ((static_cast<unsigned char>(value[i]) & 0xC0) == 0x80) continue; // inside a character
        if (table.find(value.substr(0, i) + ellipsis) != std::string::npos) found = true;
    }
    EXPECT_TRUE(found) << "neither whole nor cut on a character: " << value;
}

TEST(fb2cols_table, on_a_terminal_every_line_fits_its_width) {
    const WideShelf shelf;
    const Result wide = run(shelf.path(), {"--wide", "-r", "shelf"});
    size_t natural = 0;
    for (const std::string &line : lines(wide.out)) natural = std::max(natural, text::display_width(line));
    ASSERT_GT(natural, 200u) << "the shelf must be wider than every width tried";

    for (const char *width : {"40", "80", "200"}) {
        for (const char *why : {"", "--why"}) {
            SCOPED_TRACE(std::string("width ") + width + " " + why);
            const ScopedEnv terminal("FB2COLS_TEST_TERMINAL", width);
            std::vector<std::string> args{"-r", "shelf"};
            if (*why) args.push_back(why);
            const Result r = run(shelf.path(), args);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(text::is_utf8(r.out)) << "a cut split a character";
            const auto out = lines(r.out);
            ASSERT_EQ(out.size(), 4u);
            for (const std::string &line : out) EXPECT_LE(text::display_width(line), std::stoul(width)) << line;
            EXPECT_NE(r.out.find(ellipsis), std::string::npos);
            for (const std::string &value : shelf.values) expect_cut_on_characters(r.out, value);
            // the numbers stay whole and on the right
            EXPECT_NE(out[1].find("12"), std::string::npos) << out[1];
            EXPECT_EQ(out[2].substr(out[2].size() - 1), "3") << out[2];
            // every line the same width up to the last column: the columns line up
            EXPECT_EQ(text::display_width(out[1]), text::display_width(out[2]));
        }
    }
}

TEST(fb2cols_table, wide_piped_tsv_and_json_never_cut) {
    const WideShelf shelf;
    struct Row {
        const char *label;
        std::vector<std::string> args;
        bool terminal;
    } rows[] = {
        {"--wide on a terminal", {"--wide", "-r", "shelf"}, true},
        {"piped", {"-r", "shelf"}, false},
        {"tsv on a terminal", {"--tsv", "-r", "shelf"}, true},
        {"json on a terminal", {"--json", "-r", "shelf"}, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        std::optional<ScopedEnv> terminal;
        if (row.terminal) terminal.emplace("FB2COLS_TEST_TERMINAL", "40");
        const Result r = run(shelf.path(), row.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find(ellipsis), std::string::npos);
        for (const std::string &value : shelf.values) EXPECT_NE(r.out.find(value), std::string::npos) << value;
    }
    // piped output is the same table as --wide on a terminal
    const ScopedEnv terminal("FB2COLS_TEST_TERMINAL", "40");
    const Result wide = run(shelf.path(), {"--wide", "-r", "shelf"});
    ScopedEnv off("FB2COLS_TEST_TERMINAL", "");
    EXPECT_EQ(run(shelf.path(), {"-r", "shelf"}).out, wide.out);
}

TEST(fb2cols_table, control_characters_in_values_and_names_are_shown_escaped) {
    const support::TempDir dir;
    // C1 controls are legal XML characters; ESC and BEL are not, so they come in through a name
    dir.write("c1.fb2", fb2("<book-title>a&#x9B;2Jb&#x85;c</book-title>"));
    struct Row {
        const char *label;
        std::vector<std::string> args;
        std::string has;
    } rows[] = {
        {"table", {"c1.fb2"}, "a\\u009b2Jb\\u0085c"},
        {"tsv", {"--tsv", "c1.fb2"}, "a\\u009b2Jb\\u0085c"},
        {"json", {"--json", "c1.fb2"}, "\"a\\u009b2Jb\\u0085c\""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const Result r = run(dir.path(), row.args, true, true);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.has), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\xC2\x9B"), std::string::npos) << "a raw C1 control";
    }
#ifndef _WIN32
    const std::string evil = "t\x1b]0;owned\x07";
    dir.write(evil + ".fb2", fb2("<book-title>Title</book-title>"));
    dir.write(evil + ".txt", "not a book");
    struct NameRow {
        const char *label;
        std::vector<std::string> args;
        std::string out_has, err_has;
    } names[] = {
        {"the file column of the table", {evil + ".fb2"}, "t\\x1b]0;owned\\x07.fb2", ""},
        {"tsv", {"--tsv", evil + ".fb2"}, "t\\x1b]0;owned\\x07.fb2", ""},
        {"json", {"--json", evil + ".fb2"}, "t\\u001b]0;owned\\u0007.fb2", ""},
        {"a note on a skipped file", {evil + ".txt"}, "", "skipping t\\x1b]0;owned\\x07.txt"},
        {"a note on a missing file", {evil + ".gone"}, "", "t\\x1b]0;owned\\x07.gone: no such file or folder"},
    };
    for (const NameRow &row : names) {
        SCOPED_TRACE(row.label);
        const Result r = run(dir.path(), row.args, true, true);
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
        EXPECT_EQ(r.err.find('\x07'), std::string::npos);
        if (!row.out_has.empty()) {
            EXPECT_NE(r.out.find(row.out_has), std::string::npos) << r.out;
        }
        if (!row.err_has.empty()) {
            EXPECT_NE(r.err.find(row.err_has), std::string::npos) << r.err;
        }
    }
#endif
}

// ---- the summary on a terminal

// the last line, after any progress line erased with carriage returns (and without the one a text-mode
// stream on Windows puts before each line feed)
std::string last_line(const std::string &err) {
    auto all = lines(err);
    if (all.empty()) return {};
    std::string line = all.back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line.substr(line.rfind('\r') == std::string::npos ? 0 : line.rfind('\r') + 1);
}

TEST(fb2cols_summary, a_terminal_gets_books_failures_megabytes_and_time) {
    const Library library;
    const Shelf shelf;
    const support::TempDir big;
    // 1,500,000 bytes and some: 1.5 MB
    big.write("big.fb2", fb2("<book-title>Big</book-title>") + "<!--" + std::string(1500000, 'x') + "-->\n");
    const ScopedEnv terminal("FB2COLS_TEST_TERMINAL", "100");
    const std::string books = std::to_string(library.books), broken = std::to_string(library.failures);
    struct Row {
        const char *label;
        const fs::path &cwd;
        std::vector<std::string> args;
        int status;
        std::string pattern;
    } rows[] = {
        {"all read", shelf.path(), {"-r", "shelf"}, 0, "4 books, [0-9]+ KB in [0-9]+\\.[0-9] s"},
        {"one book", shelf.path(), {"shelf/LOUD.FB2"}, 0, "1 book, [0-9]+ KB in [0-9]+\\.[0-9] s"},
        {"some broken", library.path(), {"-r", "lib"}, 1,
         books + " books, " + broken + " could not be read \\(--why\\), [0-9]+ KB in [0-9]+\\.[0-9] s"},
        {"--why says it in the rows", library.path(), {"-r", "--why", "--tsv", "lib"}, 1,
         books + " books, " + broken + " could not be read, [0-9]+ KB in [0-9]+\\.[0-9] s"},
        {"json", library.path(), {"-r", "--json", "lib/f0"}, 1,
         "25 books, [0-9] could not be read \\(--why\\), [0-9]+ KB in [0-9]+\\.[0-9] s"},
        {"nothing at all", shelf.path(), {"shelf/notes.txt"}, 0, "0 books, 0 KB in [0-9]+\\.[0-9] s"},
        {"megabytes", big.path(), {"big.fb2"}, 0, "1 book, 1\\.5 MB in [0-9]+\\.[0-9] s"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        const Result r = run(row.cwd, row.args);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_TRUE(std::regex_match(last_line(r.err), std::regex(row.pattern))) << last_line(r.err);
        EXPECT_EQ(r.err.find("files could not be read"), std::string::npos) << "the summary says it instead";
    }
}

TEST(fb2cols_summary, piped_standard_error_gets_the_old_note_only) {
    const Library library;
    const Result r = run(library.path(), {"-r", "--tsv", "lib/f0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex("fb2cols: [0-9] of 25 books could not be read \\(--why tells why\\)\r?\n")))
        << r.err;
}

#ifndef _WIN32
// A real terminal: a pseudo-terminal of 60 columns, COLUMNS unset, so the width comes from the terminal.
struct PtyRun {
    int status = -1, signal = 0;
    std::string text;
};

// interrupt_when: once the terminal shows this text, Ctrl+C (SIGINT) is sent
PtyRun run_on_pty(const fs::path &cwd, const std::vector<std::string> &args, unsigned short columns,
                  const char *interrupt_when = nullptr) {
    int master = -1, slave = -1;
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    PtyRun r;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return r;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw); // no "\r\n" for "\n"
    tcsetattr(slave, TCSANOW, &raw);
    std::vector<std::string> argv_s{tool().string()};
    if (!plugin().empty()) argv_s.insert(argv_s.end(), {"--plugin", plugin()});
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, 1);
        dup2(slave, 2);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        close(master);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        unsetenv("COLUMNS");
        unsetenv("FB2COLS_TEST_TERMINAL");
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    char buf[4096];
    bool interrupted = false;
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
        r.text.append(buf, static_cast<size_t>(n));
        if (interrupt_when && !interrupted && r.text.find(interrupt_when) != std::string::npos)
            interrupted = kill(pid, SIGINT) == 0;
    }
    close(master);
    int raw_status = 0;
    waitpid(pid, &raw_status, 0);
    r.status = WIFEXITED(raw_status) ? WEXITSTATUS(raw_status) : -1;
    r.signal = WIFSIGNALED(raw_status) ? WTERMSIG(raw_status) : 0;
    return r;
}

TEST(fb2cols_table, a_real_terminal_gives_its_width_and_gets_the_summary) {
    const WideShelf shelf;
    for (unsigned short columns : {60, 120}) {
        SCOPED_TRACE(std::to_string(columns) + " columns");
        const PtyRun r = run_on_pty(shelf.path(), {"-r", "shelf"}, columns);
        EXPECT_EQ(r.status, 0) << r.text;
        const auto out = lines(r.text);
        ASSERT_EQ(out.size(), 5u) << r.text; // header, three rows, the summary
        for (size_t i = 0; i < 4; ++i) EXPECT_LE(text::display_width(out[i]), columns) << out[i];
        EXPECT_NE(r.text.find(ellipsis), std::string::npos);
        EXPECT_TRUE(std::regex_match(last_line(r.text), std::regex("3 books, [0-9]+ KB in [0-9]+\\.[0-9] s")))
            << last_line(r.text);
    }
}

// On a narrow terminal the file column keeps the end of each path and why the start of its reason.
TEST(fb2cols_table, a_narrow_terminal_keeps_the_ends_of_paths_and_the_starts_of_reasons) {
    const WideShelf shelf;
    shelf.dir.write("shelf/a-folder-with-a-rather-long-name-for-books/broken.fb2", "<?xml version=\"1.0\"?>\n<FictionBook>");
    const std::string why = split(lines(run(shelf.path(), {"--tsv", "-n", "-o", "why", "-r", "shelf"}).out)[0], '\t')[0];
    ASSERT_GT(why.size(), 20u);
    struct Row {
        unsigned short columns;
        std::vector<std::string> args;
    } rows[] = {{80, {"--why", "-r", "shelf"}}, {36, {"-o", "file,title,why", "-r", "shelf"}}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.columns) + " columns");
        const PtyRun r = run_on_pty(shelf.path(), row.args, row.columns);
        EXPECT_EQ(r.status, 1) << r.text;
        const auto out = lines(r.text);
        ASSERT_EQ(out.size(), 6u) << r.text; // header, four rows, the summary
        for (size_t i = 1; i < 5; ++i) {
            EXPECT_LE(text::display_width(out[i]), row.columns) << out[i];
            // the row's path: cut from the left, its name's end kept
            EXPECT_EQ(out[i].rfind(ellipsis, 0), 0u) << out[i];
            EXPECT_NE(out[i].find(".fb2  "), std::string::npos) << out[i];
        }
        // the reason's first words, whatever is cut from its end
        EXPECT_NE(out[1].find(why.substr(0, 8)), std::string::npos) << out[1];
    }
}

// A run long enough to show its progress: a line cut to the terminal's width, overwritten in place,
// and blanked when Ctrl+C ends the run, which then ends by the signal, leaving nothing behind.
TEST(fb2cols_table, the_progress_line_fits_the_terminal_and_ctrl_c_erases_it) {
    const support::TempDir dir;
    fs::create_directories(dir.path() / "slow");
    for (int i = 0; i < 24; ++i) dir.write("slow/" + std::to_string(100 + i) + ".txt", "slow\n");
    for (const unsigned short columns : {36, 80}) {
        SCOPED_TRACE(std::to_string(columns) + " columns");
        const PtyRun r = run_on_pty(dir.path(), {"--plugin", host_path(OTHER_PLUGIN).string(), "-j", "1", "slow"},
                                    columns, "books/s");
        EXPECT_EQ(r.signal, SIGINT) << r.text;
        EXPECT_EQ(r.text.find('\n'), std::string::npos) << "no line left behind: " << r.text;
        ASSERT_FALSE(r.text.empty());
        EXPECT_EQ(r.text.back(), '\r') << r.text;
        const auto shown = split(r.text, '\r');
        ASSERT_GE(shown.size(), 3u) << r.text;
        for (const std::string &line : shown) EXPECT_LT(text::display_width(line), columns) << line;
        // the last thing written blanks what the progress line showed
        const std::string &blank = shown[shown.size() - 2];
        EXPECT_EQ(blank.find_first_not_of(' '), std::string::npos) << blank;
        size_t widest = 0;
        for (const std::string &line : shown) widest = std::max(widest, text::display_width(line));
        EXPECT_EQ(blank.size(), widest);
    }
}
#endif

// ---- walking folders: what is missing, what was walked already, what links lead back

TEST(fb2cols_walk, a_folder_reached_twice_is_walked_once) {
    const Shelf shelf;
    struct Row {
        const char *label;
        std::vector<std::string> args;
        size_t books;
        bool noted;
    } rows[] = {
        {"the same folder twice", {"-r", "shelf", "shelf"}, 4, true},
        {"a subfolder after its parent", {"-r", "shelf", "shelf/sub"}, 4, true},
        {"a subfolder before its parent", {"-r", "shelf/sub", "shelf"}, 4, true},
        {"a subfolder, not recursive", {"shelf", "shelf/sub"}, 4, false},
        {"a book named twice is asked once", {"shelf/LOUD.FB2", "shelf/LOUD.FB2"}, 1, false},
        {"a book named twice, spelt two ways", {"shelf/LOUD.FB2", "./shelf/sub/../LOUD.FB2"}, 1, false},
        {"a book named, then in its folder", {"-r", "shelf/LOUD.FB2", "shelf"}, 4, false},
        {"a book in its folder, then named", {"-r", "shelf", "shelf/LOUD.FB2"}, 4, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "--tsv");
        const Result r = run(shelf.path(), args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(lines(r.out).size(), row.books + 1) << r.out;
        EXPECT_EQ(r.err.find("walked already") != std::string::npos, row.noted) << r.err;
    }
    // one folder named twice is named once in the note
    EXPECT_EQ(run(shelf.path(), {"--tsv", "-r", "shelf", "shelf"}).err,
              "fb2cols: skipping shelf: named twice, walked already\n");
}

#ifndef _WIN32
TEST(fb2cols_walk, linked_folders_are_not_entered_and_a_dangling_link_is_a_book_gone) {
    const Shelf shelf;
    fs::create_directory_symlink("..", shelf.path() / "shelf/sub/up");
    fs::create_directory_symlink(shelf.path() / "shelf", shelf.path() / "shelf/sub/again");
    fs::create_symlink("a-series.fb2", shelf.path() / "shelf/z-link.fb2");
    const Result r = run(shelf.path(), {"--tsv", "-r", "shelf"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> files;
    for (const std::string &line : lines(r.out)) files.push_back(split(line, '\t')[0]);
    EXPECT_EQ(files, (std::vector<std::string>{"file", "shelf/LOUD.FB2", "shelf/a-series.fb2", "shelf/b-cp1251.fb2",
                                               "shelf/sub/c-deep.fb2", "shelf/z-link.fb2"}));
    // a link to a folder named on the command line is entered: the user asked for it
    const Result named = run(shelf.path(), {"--tsv", "shelf/sub/up"});
    EXPECT_EQ(lines(named.out).size(), 5u) << named.out;
}
#endif

// ---- Windows: what only its file system has

#ifdef _WIN32
// a junction made with the file system's own call; false where it cannot make one (Wine)
bool make_junction(const fs::path &link, const fs::path &target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
    const HANDLE h = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const std::wstring substitute = L"\\??\\" + fs::absolute(target).wstring();
    const auto bytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    std::vector<unsigned char> buf(8 + 8 + bytes + 4, 0);
    auto put16 = [&](size_t at, WORD v) { buf[at] = static_cast<unsigned char>(v), buf[at + 1] = v >> 8; };
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    std::memcpy(buf.data(), &tag, 4);
    put16(4, static_cast<WORD>(buf.size() - 8)); // the data after the header
    put16(8, 0);                                // substitute name: offset, length
    put16(10, bytes);
    put16(12, static_cast<WORD>(bytes + 2)); // print name: empty, after the substitute's NUL
    put16(14, 0);
    std::memcpy(buf.data() + 16, substitute.data(), bytes);
    DWORD got = 0;
    const bool ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buf.data(), static_cast<DWORD>(buf.size()), nullptr,
                                    0, &got, nullptr);
    CloseHandle(h);
    if (!ok) RemoveDirectoryW(link.c_str());
    return ok;
}

TEST(fb2cols_windows, a_junction_back_to_a_parent_is_not_entered) {
    const Shelf shelf;
    fs::path root = shelf.path();
    std::string how = "a junction";
    if (!make_junction(shelf.path() / "shelf/sub/up", shelf.path() / "shelf")) {
        // Wine cannot make one; it shows a POSIX link to a folder as a reparse point, and the build made one
        root = host_path(FB2COLS_LINKED_TREE);
        how = "a POSIX link under Wine";
        if (!fs::exists(root / "shelf/sub/up")) GTEST_SKIP() << "no junction could be made, and no linked tree at " << root.string();
    }
    SCOPED_TRACE(how);
    const Result r = run(root, {"--tsv", "-r", "shelf"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto out = lines(r.out);
    std::set<std::string> files;
    for (size_t i = 1; i < out.size(); ++i) EXPECT_TRUE(files.insert(split(out[i], '\t')[0]).second) << out[i];
    EXPECT_TRUE(files.count("shelf/sub/c-deep.fb2")) << r.out;
    for (const std::string &f : files) EXPECT_EQ(f.find("/up/"), std::string::npos) << f;
}

TEST(fb2cols_windows, a_name_with_an_unpaired_surrogate_is_shown_and_kept) {
    // NTFS allows such names; Wine's file system cannot hold one, so the conversions are tested here
    std::wstring name = L"book";
    name += static_cast<wchar_t>(0xD800);
    name += L".FB2";
    const fs::path p = fs::path(L"shelf") / name;
    EXPECT_EQ(os::shown(p), "shelf\\book\xEF\xBF\xBD.FB2");
    EXPECT_EQ(detect::extension_of(p), "FB2");
    EXPECT_TRUE(detect::Expression::parse("EXT=\"FB2\"").accepts_file(p));
    const std::u16string wide = os::utf16_name(p);
    EXPECT_EQ(wide.size(), p.native().size());
    EXPECT_EQ(wide[10], 0xD800) << "the plug-in is asked by the wide name as it is";
    EXPECT_TRUE(os::name_fits_exports(p));
}

TEST(fb2cols_windows, with_ansi_a_name_the_code_page_cannot_hold_is_a_failed_row_that_says_so) {
    const support::TempDir dir;
    fs::create_directories(dir.path() / "shelf");
    // Tibetan: in no ANSI code page
    std::ofstream(dir.path() / "shelf" / fs::path(L"\u0F40.fb2"), std::ios::binary) << fb2("<book-title>Ka</book-title>");
    const Result wide = run(dir.path(), {"--tsv", "-n", "-o", "title,why", "shelf"});
    EXPECT_EQ(wide.status, 0) << wide.err;
    EXPECT_EQ(wide.out, "Ka\t\n");
    const Result ansi = run(dir.path(), {"--ansi", "--tsv", "-n", "-o", "title,why", "shelf"});
    EXPECT_EQ(ansi.status, 1);
    EXPECT_EQ(ansi.out, "\tthe ANSI code page cannot hold this name, so ContentGetValue cannot be given it\n");
}

TEST(fb2cols_windows, the_console_code_page_is_given_back) {
    DWORD mode;
    const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode))
        GTEST_SKIP() << "no console (under Wine, CTest runs this test on a pseudo-terminal)";
    const UINT original = GetConsoleOutputCP();
    ASSERT_TRUE(SetConsoleOutputCP(866));
    const UINT before = GetConsoleOutputCP();
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = nullptr;
    DuplicateHandle(GetCurrentProcess(), console, GetCurrentProcess(), &out, 0, TRUE, DUPLICATE_SAME_ACCESS);
    (void)inherit;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"\"" + tool().wstring() + L"\" --help";
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(pi.hProcess, &status);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(out);
    const UINT after = GetConsoleOutputCP();
    SetConsoleOutputCP(original);
    CloseHandle(console);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(after, before) << "fb2cols left the console at code page " << after;
}
#endif

// ---- finding the plug-in where the package puts it

#ifndef _WIN32
TEST(fb2cols_plugin, an_installed_tool_finds_the_library_in_lib_tovrel) {
    const support::TempDir root;
    fs::create_directories(root.path() / "usr/bin");
    fs::create_directories(root.path() / "usr/lib/tovrel");
    fs::copy_file(tool(), root.path() / "usr/bin/fb2cols");
    const fs::path library = plugin().empty() ? tool().parent_path() / "tovrel.wdx" : fs::path(plugin());
    fs::copy_file(library, root.path() / "usr/lib/tovrel/tovrel.wdx");
    const fs::path examples = support::examples_dir();
    const std::string cmd = quoted((root.path() / "usr/bin/fb2cols").string()) + " --tsv " +
                            quoted(examples.string()) + " >" + quoted((root.path() / "out").string()) + " 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << slurp(root.path() / "out");
    const Result beside = run(examples, {"--tsv", examples.string()});
    EXPECT_EQ(slurp(root.path() / "out"), beside.out);
}
#endif

// ---- the manual page says what --help says

TEST(fb2cols_manual, names_every_option_column_and_exit_status) {
    const std::string page = slurp(fs::u8path(TOVREL_SOURCE_DIR) / "tools" / "fb2cols.1");
    ASSERT_FALSE(page.empty());
    const Result help = run(fs::current_path(), {"--help"});
    std::vector<std::string> options;
    const std::regex option("(^| )(--?[a-z]+)");
    for (const std::string &line : lines(help.out))
        for (auto it = std::sregex_iterator(line.begin(), line.end(), option); it != std::sregex_iterator(); ++it)
            options.push_back((*it)[2]);
    ASSERT_GT(options.size(), 10u);
    for (const std::string &option : options) {
        SCOPED_TRACE(option);
        std::string roff;
        for (char c : option) roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(page.find(roff), std::string::npos);
    }
    for (const char *word : {"genre", "aut_f", "aut_l", "title", "seq", "seq_n", "why", "EXT=\"FB2\"", "EXT!=",
                             ".B 0", ".B 1", ".B 2", "/usr/lib/tovrel", "COLUMNS"})
        EXPECT_NE(page.find(word), std::string::npos) << word;
}

} // namespace
