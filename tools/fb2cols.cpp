// fb2cols: a command-line host. It loads a content plug-in as a file manager does, learns the fields
// and the detect string through the exports, and prints one row of columns per book.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "../plugin/contplug.h"
#include "FB2_Info.h"
#include "error.h"
#include "detect.h"
#include "layout.h"
#include "ordered.h"
#include "os.h"
#include "text.h"
#include "walk.h"

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

// the plug-in a file manager of the same word size would load
#ifdef _WIN64
#define DEFAULT_PLUGIN "tovrel.wdx64"
#else
#define DEFAULT_PLUGIN "tovrel.wdx"
#endif

#ifdef _WIN32
#define PLUGIN_PLACES "(default: " DEFAULT_PLUGIN " beside fb2cols)"
#else
#define PLUGIN_PLACES                                                                                                  \
    "(default: " DEFAULT_PLUGIN " beside fb2cols,\n"                                                                   \
    "                    else ../lib/tovrel/ from there, else /usr/lib/tovrel/)"
#endif

namespace fs = std::filesystem;
using os::UsageError;

namespace {

constexpr int exit_ok = 0;
constexpr int exit_unread = 1;
constexpr int exit_usage = 2;

// the host's buffer for names, the detect string and values
constexpr int32_t buf_size = 2048;

constexpr const char *usage_text = R"(usage: fb2cols [options] FILE|FOLDER...

Loads a content plug-in as a file manager does and prints, for every book, the columns
the plug-in offers: the file first, then one column per field, in the plug-in's order.
Folders are walked in sorted order; only files the plug-in's detect string accepts are
asked. A file named explicitly that it does not accept is skipped with a note.

options:
  -r, --recursive   walk subfolders too (linked folders are not entered)
  -j, --jobs N      read with N threads (default: every core this process may use);
                    the output is the same for every N
      --tsv         tab-separated values under a header line; a tab, line break or
                    backslash inside a value is written as \t, \n, \r or \\, another
                    control character as \xHH or \u00HH
      --json        a JSON array of objects: field names as keys, numbers as numbers,
                    null for a value the book lacks
      --wide        on a terminal too, keep every value whole (the table is otherwise
                    narrowed to the terminal's width, a cut value ending with "…")
      --ansi        ask through ContentGetValue (ANSI names and text) instead of
                    ContentGetValueW (UTF-16)
      --why         add a column "why": the reason a file could not be read
      --plugin PATH the plug-in library )" PLUGIN_PLACES R"(
  -h, --help        show this text
      --version     show the version

exit status: 0 every file was read, 1 some could not be (or a name given is missing, or
a folder could not be listed), 2 bad usage or no usable plug-in
)";

// ---- the plug-in, through its four exports

struct Column {
    std::string name;
    int32_t type;
};

class Plugin {
public:
    explicit Plugin(const fs::path &file) : lib_(file) {
        supported_field = reinterpret_cast<ContentGetSupportedFieldProc>(lib_.symbol("ContentGetSupportedField"));
        detect_string = reinterpret_cast<ContentGetDetectStringProc>(lib_.symbol("ContentGetDetectString"));
        value_w = reinterpret_cast<ContentGetValueWProc>(lib_.symbol("ContentGetValueW"));
        value_a = reinterpret_cast<ContentGetValueProc>(lib_.symbol("ContentGetValue"));
        std::string missing;
        for (auto [proc, name] : {std::pair{reinterpret_cast<os::AnyProc>(supported_field), "ContentGetSupportedField"},
                                  {reinterpret_cast<os::AnyProc>(detect_string), "ContentGetDetectString"},
                                  {reinterpret_cast<os::AnyProc>(value_w), "ContentGetValueW"},
                                  {reinterpret_cast<os::AnyProc>(value_a), "ContentGetValue"}})
            if (!proc) missing += (missing.empty() ? "" : ", ") + std::string(name);
        if (!missing.empty()) throw UsageError(os::shown(file) + " is not a content plug-in: it lacks " + missing);
    }

    std::vector<Column> columns() const {
        std::vector<Column> out;
        // a plug-in that never says fld_nomore must not keep us here
        for (int32_t i = 0; i < 1000; ++i) {
            std::array<char, buf_size> name{}, units{};
            const int32_t type = supported_field(i, name.data(), units.data(), buf_size);
            if (type == fld_nomore) break;
            name.back() = '\0';
            out.push_back({os::ansi_to_utf8(name.data()), type});
        }
        return out;
    }

    std::string detect() const {
        std::array<char, buf_size> buf{};
        detect_string(buf.data(), buf_size);
        buf.back() = '\0';
        return buf.data();
    }

    ContentGetSupportedFieldProc supported_field;
    ContentGetDetectStringProc detect_string;
    ContentGetValueWProc value_w;
    ContentGetValueProc value_a;

private:
    os::Library lib_;
};

// ---- rows

struct Cell {
    enum class Kind { missing, number, text } kind = Kind::missing;
    int32_t number = 0;
    std::string text; // UTF-8
};

struct Row {
    std::string file;
    std::vector<Cell> cells;
    bool failed = false;
    std::string why;
};

// a file's name in both forms the exports take
struct Name {
    explicit Name(const fs::path &p) : utf16(os::utf16_name(p)), ansi(os::ansi_name(p)) {}
    std::u16string utf16;
    std::string ansi;
};

Cell ask(const Plugin &plugin, const Name &name, int32_t field, bool ansi) {
    // zeroed before every call, and read no further than its end, whatever the plug-in writes
    alignas(8) std::array<unsigned char, buf_size> buf{};
    const int32_t result =
        ansi ? plugin.value_a(name.ansi.c_str(), field, 0, buf.data(), buf_size, 0)
             : plugin.value_w(reinterpret_cast<const tovrel_wchar *>(name.utf16.c_str()), field, 0, buf.data(),
                              buf_size, 0);
    Cell cell;
    switch (result) {
    case fld_numeric32:
        cell.kind = Cell::Kind::number;
        cell.number = static_cast<int32_t>(static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 |
                                           static_cast<uint32_t>(buf[2]) << 16 | static_cast<uint32_t>(buf[3]) << 24);
        break;
    case fld_widestring: {
        std::u16string units;
        for (size_t k = 0; k + 1 < buf.size(); k += 2) {
            const auto u = static_cast<char16_t>(buf[k] | buf[k + 1] << 8);
            if (!u) break;
            units.push_back(u);
        }
        cell.kind = Cell::Kind::text;
        cell.text = text::from_utf16(units);
        break;
    }
    case fld_string: {
        const auto *end = std::find(buf.begin(), buf.end(), 0);
        cell.kind = Cell::Kind::text;
        cell.text = os::ansi_to_utf8(std::string_view(reinterpret_cast<const char *>(buf.data()),
                                                      static_cast<size_t>(end - buf.begin())));
        break;
    }
    default: // fld_empty, or a type this host does not show
        break;
    }
    return cell;
}

// The exports cannot say why a book gave nothing, so such a book is read once more here, with the same
// reader the plug-in is built from: its failure message is the reason. No message: it read fine.
// Only a read failure is the book's; anything else is a fault of ours and is shown as one.
std::optional<std::string> read_failure(const Name &name) {
    try {
        FB2TitleInfo info(name.utf16);
        return std::nullopt;
    } catch (const ReadError &e) {
        return text::valid_utf8(e.what());
    } catch (const std::bad_alloc &) {
        return std::string("out of memory");
    } catch (const std::exception &e) {
        return "internal error (a fault of tovrel, not of the book): " + text::valid_utf8(e.what());
    } catch (...) {
        return std::string("internal error (a fault of tovrel, not of the book)");
    }
}

// the reader can only explain a plug-in that offers the reader's own fields
bool reader_explains(const std::vector<Column> &columns) {
    if (columns.size() != static_cast<size_t>(ContentFieldCount)) return false;
    for (int32_t i = 0; i < ContentFieldCount; ++i)
        if (columns[i].name != ContentFields[i].f_name || columns[i].type != ContentFields[i].f_type) return false;
    return true;
}

// one book's row; runs on any thread, each with COM of its own
Row read_row(const Plugin &plugin, const std::vector<Column> &columns, const fs::path &file, bool ansi,
             bool explain) {
    Row row;
    row.file = os::shown(file);
    if (!os::name_fits_exports(file)) {
        // asked by its U+FFFD form, the plug-in would read another file or none
        row.cells.resize(columns.size());
        row.failed = true;
        row.why = "the plug-in cannot be given this name: it is not UTF-8, and the plug-in's entry points "
                  "take UTF-16 or UTF-8";
        return row;
    }
    const Name name(file);
    bool any = false;
    for (size_t i = 0; i < columns.size(); ++i) {
        row.cells.push_back(ask(plugin, name, static_cast<int32_t>(i), ansi));
        any = any || row.cells.back().kind != Cell::Kind::missing;
    }
    if (!any && explain) {
        if (auto why = read_failure(name)) {
            row.failed = true;
            row.why = std::move(*why);
        }
    }
    return row;
}

// ---- output

class Output {
public:
    void put(std::string_view s) {
        if (!s.empty() && std::fwrite(s.data(), 1, s.size(), stdout) != s.size()) failed_ = true;
    }
    bool finish() { return std::fflush(stdout) == 0 && !failed_ && !std::ferror(stdout); }

private:
    bool failed_ = false;
};

class Writer {
public:
    Writer(Output &out, const std::vector<Column> &columns, bool why) : out_(out), columns_(columns), why_(why) {}
    virtual ~Writer() = default;
    virtual void row(const Row &r) = 0;
    virtual void finish() = 0;

protected:
    Output &out_;
    const std::vector<Column> &columns_;
    bool why_;

    static std::string plain(const Cell &c) {
        switch (c.kind) {
        case Cell::Kind::number: return std::to_string(c.number);
        case Cell::Kind::text: return c.text;
        case Cell::Kind::missing: break;
        }
        return {};
    }
};

class TsvWriter : public Writer {
public:
    using Writer::Writer;
    void row(const Row &r) override {
        if (!header_done_) header();
        std::string line = text::tsv_escaped(r.file);
        for (const Cell &c : r.cells) line += '\t' + text::tsv_escaped(plain(c));
        if (why_) line += '\t' + text::tsv_escaped(r.why);
        out_.put(line + '\n');
    }
    void finish() override {
        if (!header_done_) header();
    }

private:
    bool header_done_ = false;
    void header() {
        std::string line = "file";
        for (const Column &c : columns_) line += '\t' + text::tsv_escaped(c.name);
        if (why_) line += "\twhy";
        out_.put(line + '\n');
        header_done_ = true;
    }
};

class JsonWriter : public Writer {
public:
    using Writer::Writer;
    void row(const Row &r) override {
        std::string line = rows_ ? ",\n  {" : "[\n  {";
        line += "\"file\": " + text::json_quoted(r.file);
        for (size_t i = 0; i < r.cells.size(); ++i) {
            line += ", " + text::json_quoted(columns_[i].name) + ": ";
            const Cell &c = r.cells[i];
            line += c.kind == Cell::Kind::number ? std::to_string(c.number)
                    : c.kind == Cell::Kind::text ? text::json_quoted(c.text)
                                                 : "null";
        }
        if (why_) line += ", \"why\": " + (r.failed ? text::json_quoted(r.why) : "null");
        line += '}';
        out_.put(line);
        ++rows_;
    }
    void finish() override { out_.put(rows_ ? "\n]\n" : "[]\n"); }

private:
    size_t rows_ = 0;
};

// every row is held until the end: the widths are known only then
class TableWriter : public Writer {
public:
    // fit: the terminal's width the lines must fit in; none keeps every value whole
    TableWriter(Output &out, const std::vector<Column> &columns, bool why, std::optional<size_t> fit)
        : Writer(out, columns, why), fit_(fit) {
        std::vector<std::string> head{"file"};
        for (const Column &c : columns) head.push_back(text::visible(c.name));
        if (why) head.emplace_back("why");
        lines_.push_back(std::move(head));
    }
    void row(const Row &r) override {
        std::vector<std::string> line{text::visible(r.file)};
        for (const Cell &c : r.cells) line.push_back(text::visible(plain(c)));
        if (why_) line.push_back(text::visible(r.why));
        lines_.push_back(std::move(line));
    }
    void finish() override {
        const size_t n = lines_.front().size();
        std::vector<layout::Column> shape(n);
        std::vector<bool> right(n, false);
        for (size_t i = 0; i < n; ++i) {
            shape[i].name = text::display_width(lines_.front()[i]);
            // numbers line up on their last digit
            right[i] = shape[i].number = i >= 1 && i <= columns_.size() && columns_[i - 1].type == fld_numeric32;
        }
        for (const auto &line : lines_)
            for (size_t i = 0; i < n; ++i) shape[i].natural = std::max(shape[i].natural, text::display_width(line[i]));
        const size_t width = fit_.value_or(SIZE_MAX);
        std::vector<size_t> widths;
        if (fit_) {
            widths = layout::fit(shape, width);
        } else {
            for (const layout::Column &c : shape) widths.push_back(c.natural);
        }
        for (const auto &line : lines_) out_.put(layout::line(line, widths, right, width) + '\n');
    }

private:
    std::optional<size_t> fit_;
    std::vector<std::vector<std::string>> lines_;
};

// ---- where the output goes

struct Terminal {
    bool out = false, err = false;
    size_t width = 80;
};

std::optional<size_t> positive(const char *s) {
    if (!s || !*s) return std::nullopt;
    char *end = nullptr;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (*end || v == 0 || v > 100000) return std::nullopt;
    return static_cast<size_t>(v);
}

Terminal terminal() {
    // for the tests: both streams taken for a terminal this wide, whatever they are
    if (const auto forced = positive(std::getenv("FB2COLS_TEST_TERMINAL"))) return {true, true, *forced};
    Terminal t{os::is_terminal(stdout), os::is_terminal(stderr)};
    if (const auto columns = positive(std::getenv("COLUMNS"))) t.width = *columns;
    else if (const auto w = os::terminal_width(stdout)) t.width = *w;
    return t;
}

// millions of bytes: "897 MB", "4.2 MB", "0.3 MB"
std::string megabytes(uint64_t bytes) {
    const double mb = static_cast<double>(bytes) / 1e6;
    if (mb >= 10) return text::grouped(static_cast<uint64_t>(std::llround(mb))) + " MB";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f MB", mb);
    return buf;
}

// for the summary: below a megabyte, thousands of bytes, so a few small books do not read "0.0 MB"
std::string size_text(uint64_t bytes) {
    if (bytes >= 1000000) return megabytes(bytes);
    return std::to_string((bytes + 999) / 1000) + " KB";
}

// ---- progress on a terminal: only for runs longer than a second, at most ten updates a second

class Progress {
public:
    Progress(size_t books, uint64_t bytes, bool enabled)
        : books_(books), bytes_(bytes), enabled_(enabled), start_(clock::now()) {}
    ~Progress() { erase(); }

    void update(size_t books, uint64_t bytes) {
        if (!enabled_) return;
        const auto now = clock::now();
        if (now - start_ < std::chrono::seconds(1)) return;
        if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        const double secs = std::chrono::duration<double>(now - start_).count();
        // the bytes tell the time left better than the books: books differ in size a thousandfold
        const double part = bytes_ ? static_cast<double>(bytes) / static_cast<double>(bytes_)
                                   : static_cast<double>(books) / static_cast<double>(std::max<size_t>(books_, 1));
        std::string done = megabytes(bytes);
        done.resize(done.size() - 3); // "420/897 MB"
        std::string line = text::grouped(books) + "/" + text::grouped(books_) + " books, " + done + "/" +
                           megabytes(bytes_) + ", " +
                           text::grouped(static_cast<uint64_t>(static_cast<double>(books) / secs)) + " books/s";
        if (part > 0.01) {
            const auto left = static_cast<uint64_t>(std::llround(secs / part - secs));
            line += ", " + (left < 100 ? std::to_string(left) + " s" : std::to_string((left + 30) / 60) + " min") +
                    " left";
        }
        const int len = static_cast<int>(line.size());
        // pad over a longer previous line
        std::fprintf(stderr, "\r%s%*s", line.c_str(), std::max(0, width_ - len), "");
        width_ = std::max(width_, len);
        std::fflush(stderr);
    }

    void erase() {
        if (!shown_) return;
        std::fprintf(stderr, "\r%*s\r", width_, "");
        std::fflush(stderr);
        shown_ = false;
    }

private:
    using clock = std::chrono::steady_clock;
    size_t books_;
    uint64_t bytes_;
    bool enabled_;
    clock::time_point start_, last_;
    bool shown_ = false;
    int width_ = 0;
};

// ---- arguments

enum class Format { table, tsv, json };

constexpr unsigned max_jobs = 1024;

struct Options {
    bool help = false, version = false, recursive = false, ansi = false, why = false, wide = false;
    Format format = Format::table;
    unsigned jobs = 0; // 0: every usable core
    std::optional<fs::path> plugin;
    std::vector<fs::path> inputs;
};

unsigned jobs_value(const std::string &option, const std::string &value) {
    const auto n = positive(value.c_str());
    if (!n || *n > max_jobs)
        throw UsageError(option + " needs a number of threads from 1 to " + std::to_string(max_jobs) + ", not '" +
                         text::visible(value) + "'");
    return static_cast<unsigned>(*n);
}

Options parse_args(const std::vector<fs::path::string_type> &args) {
    Options o;
    bool options_end = false, tsv = false, json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string a = os::arg_text(args[i]);
        if (options_end || a.size() < 2 || a[0] != '-') {
            o.inputs.emplace_back(args[i]);
        } else if (a == "--") {
            options_end = true;
        } else if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "-r" || a == "--recursive") {
            o.recursive = true;
        } else if (a == "-j" || a == "--jobs") {
            if (++i == args.size()) throw UsageError(a + " needs a number of threads");
            o.jobs = jobs_value(a, os::arg_text(args[i]));
        } else if (a.starts_with("--jobs=")) {
            o.jobs = jobs_value("--jobs", a.substr(7));
        } else if (a.starts_with("-j") && a[2] != '-') {
            o.jobs = jobs_value("-j", a.substr(2));
        } else if (a == "--tsv") {
            tsv = true;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--wide") {
            o.wide = true;
        } else if (a == "--ansi") {
            o.ansi = true;
        } else if (a == "--why") {
            o.why = true;
        } else if (a == "--plugin") {
            if (++i == args.size()) throw UsageError("--plugin needs a path");
            o.plugin = fs::path(args[i]);
        } else if (a.starts_with("--plugin=")) {
            o.plugin = fs::path(args[i].substr(9));
        } else {
            throw UsageError("unknown option '" + text::visible(a) + "'");
        }
    }
    if (tsv && json) throw UsageError("--tsv and --json exclude each other");
    o.format = tsv ? Format::tsv : json ? Format::json : Format::table;
    return o;
}

fs::path find_plugin(const Options &o, const char *argv0) {
    std::error_code ec;
    if (o.plugin) {
        const fs::path p = fs::absolute(*o.plugin, ec);
        if (!fs::is_regular_file(p, ec)) throw UsageError("no plug-in at " + text::visible(os::shown(p)));
        return p;
    }
    const std::vector<fs::path> places = os::plugin_places(os::exe_dir(argv0), DEFAULT_PLUGIN);
    for (const fs::path &p : places)
        if (fs::is_regular_file(p, ec)) return p;
    throw UsageError("no plug-in at " + text::visible(os::shown(places.front())) + "; name one with --plugin");
}

void note(const std::string &line) { std::fprintf(stderr, "fb2cols: %s\n", line.c_str()); }

// ---- the run

int run(const std::vector<fs::path::string_type> &args, const char *argv0) {
    const auto started = std::chrono::steady_clock::now();
    const Options o = parse_args(args);
    if (o.help) {
        std::fputs(usage_text, stdout);
        return exit_ok;
    }
    if (o.version) {
        std::puts("fb2cols " TOVREL_VERSION);
        return exit_ok;
    }
    if (o.inputs.empty()) throw UsageError("no files or folders given");

    const Plugin plugin(find_plugin(o, argv0));
    const std::vector<Column> columns = plugin.columns();
    const std::string detect_text = os::ansi_to_utf8(plugin.detect());
    detect::Expression accepts;
    try {
        accepts = detect::Expression::parse(detect_text);
    } catch (const detect::SyntaxError &e) {
        note(text::visible(e.what()) + "; asking about every file");
    }

    walk::Walk walk(accepts, o.recursive, detect_text, note);
    for (const fs::path &input : o.inputs) walk.add(input);
    uint64_t total_bytes = 0;
    for (const walk::Book &b : walk.books) total_bytes += b.size;

    const Terminal term = terminal();
    Output out;
    std::unique_ptr<Writer> writer;
    switch (o.format) {
    case Format::table:
        writer = std::make_unique<TableWriter>(out, columns, o.why,
                                               term.out && !o.wide ? std::optional(term.width) : std::nullopt);
        break;
    case Format::tsv: writer = std::make_unique<TsvWriter>(out, columns, o.why); break;
    case Format::json: writer = std::make_unique<JsonWriter>(out, columns, o.why); break;
    }

    // rows streamed to the same terminal would tear through the progress line
    Progress progress(walk.books.size(), total_bytes, term.err && (o.format == Format::table || !term.out));
    const bool explain = reader_explains(columns);
    const unsigned jobs = o.jobs ? o.jobs : os::usable_cores();
    std::atomic<size_t> done_books{0};
    std::atomic<uint64_t> done_bytes{0};
    size_t failures = 0;
    ordered::run<os::ThreadScope, Row>(
        walk.books.size(), jobs, size_t{32} * jobs,
        [&](size_t i) {
            Row row = read_row(plugin, columns, walk.books[i].path, o.ansi, explain);
            done_bytes += walk.books[i].size;
            ++done_books;
            return row;
        },
        [&](size_t, Row &&row) {
            failures += row.failed;
            writer->row(row);
        },
        [&] { progress.update(done_books, done_bytes); });
    progress.erase();
    writer->finish();

    if (!out.finish()) {
        note("cannot write the output");
        return exit_unread;
    }
    if (term.err) {
        // the last line on a terminal: what was read, and how fast
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::string line = text::grouped(walk.books.size()) + (walk.books.size() == 1 ? " book" : " books");
        if (failures) line += ", " + text::grouped(failures) + " could not be read" + (o.why ? "" : " (--why)");
        char time[32];
        std::snprintf(time, sizeof time, "%.1f s", secs);
        line += ", " + size_text(total_bytes) + " in " + time;
        std::fprintf(stderr, "%s\n", line.c_str());
    } else if (failures && !o.why) {
        note(std::to_string(failures) + " of " + std::to_string(walk.books.size()) +
             " files could not be read (--why tells why)");
    }
    return failures || walk.failed ? exit_unread : exit_ok;
}

} // namespace

int main(int argc, char **argv) {
    int status;
    try {
        const os::Process process(argc, argv);
        try {
            status = run(process.args, argc > 0 ? argv[0] : nullptr);
        } catch (const UsageError &e) {
            note(e.what());
            status = exit_usage;
        }
    } catch (const std::exception &e) {
        note(text::valid_utf8(e.what()));
        status = exit_unread;
    }
    return status;
}
