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
#include "archive.h"
#include "detect.h"
#include "layout.h"
#include "options.h"
#include "ordered.h"
#include "os.h"
#include "reading.h"
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
using options::Format;
using os::UsageError;

namespace {

constexpr int exit_ok = 0;
constexpr int exit_unread = 1;
constexpr int exit_usage = 2;

// the host's buffer for names and the detect string, and the first one for a value
constexpr int32_t buf_size = 2048;
// a value's buffer grows to this at most: half a billion UTF-16 units
constexpr int32_t largest_value_buffer = int32_t{1} << 30;

constexpr const char *usage_text = R"(usage: fb2cols [options] FILE|FOLDER...

Loads a content plug-in as a file manager does and prints, for every book, the columns
the plug-in offers: the file first, then one column per field, in the plug-in's order.
Folders are walked in sorted order; only files the plug-in's detect string accepts are
asked. A file named explicitly that it does not accept is skipped with a note. Books in
zip archives (.zip, .fb2.zip) and gzip files (.fb2.gz) are read too, each member shown
as ARCHIVE/NAME.

options:
  -r, --recursive   walk subfolders too (linked folders are not entered)
  -j, --jobs N      read with N threads (default: every core this process may use);
                    the output is the same for every N
  -o, --columns LIST
                    the columns to print, in this order, separated by commas: file,
                    the plug-in's fields, why
  -n, --no-header   no header line in the table and in TSV
      --tsv         tab-separated values under a header line; a tab, line break or
                    backslash inside a value is written as \t, \n, \r or \\, another
                    control character as \xHH or \u00HH, a byte of a name that is not
                    UTF-8 as \xHH
      --json        a JSON array of objects: field names as keys, numbers as numbers,
                    null for a value the book lacks
      --jsonl       the same objects, one a line (JSON Lines)
      --wide        on a terminal too, keep every value whole (the table is otherwise
                    narrowed to the terminal's width, a cut value ending with "…")
      --ansi        ask through ContentGetValue (ANSI names and text) instead of
                    ContentGetValueW (UTF-16)
      --why         add a column "why": the reason a file could not be read, or why
                    a book that was read gave no values
      --files-from FILE
                    read names from FILE too ("-": standard input), one a line
  -0, --null        the names in those lists are separated by NUL, not line feeds
      --plugin PATH the plug-in library )" PLUGIN_PLACES R"(
  -h, --help        show this text
      --version     show the version

exit status: 0 every file was read, 1 some could not be (or a name given is missing, a
folder could not be listed, or the output could not be written), 2 bad usage or no
usable plug-in
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
        if (!missing.empty())
            throw UsageError(text::visible(os::shown(file)) + " is not a content plug-in: it lacks " + missing);
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
    std::string file; // as shown: UTF-8, but for the bytes of a name that is not
    std::vector<Cell> cells;
    bool failed = false;
    std::string why; // a failure's reason, or why a book that was read has no values
};

// a file's name in both forms the exports take
struct Name {
    explicit Name(const fs::path &p) : utf16(os::utf16_name(p)), ansi(os::ansi_name(p)) {}
    std::u16string utf16;
    std::string ansi;
};

// The plug-in's answer for one field. A text that fills half its buffer or more may have been cut
// to fit (tovrel's ANSI answer is cut to the UTF-16 it would give in that buffer), so it is asked
// again with twice the room, up to what a value can be. Bytes after the buffer's end must stay as
// they were: a plug-in that writes there has broken the host's memory, and the row says so.
Cell ask(const Plugin &plugin, const Name &name, int32_t field, bool ansi) {
    constexpr size_t guard = 16;
    constexpr unsigned char canary = 0xA5;
    std::vector<unsigned char> buf;
    for (int32_t size = buf_size;; size *= 2) {
        // (size is a power of two no larger than largest_value_buffer: no overflow below)
        buf.assign(static_cast<size_t>(size) + guard, canary);
        std::fill_n(buf.begin(), size, 0);
        const int32_t result =
            ansi ? plugin.value_a(name.ansi.c_str(), field, 0, buf.data(), size, 0)
                 : plugin.value_w(reinterpret_cast<const tovrel_wchar *>(name.utf16.c_str()), field, 0, buf.data(),
                                  size, 0);
        if (std::any_of(buf.begin() + size, buf.end(), [](unsigned char b) { return b != canary; }))
            throw std::runtime_error("the plug-in wrote past the end of the buffer it was given");
        const bool room_to_grow = size < largest_value_buffer;
        Cell cell;
        switch (result) {
        case fld_numeric32:
            cell.kind = Cell::Kind::number;
            cell.number = static_cast<int32_t>(static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 |
                                               static_cast<uint32_t>(buf[2]) << 16 |
                                               static_cast<uint32_t>(buf[3]) << 24);
            return cell;
        case fld_widestring: {
            std::u16string units;
            size_t k = 0;
            // read no further than the buffer's end, whatever the plug-in wrote
            for (; k + 1 < static_cast<size_t>(size); k += 2) {
                const auto u = static_cast<char16_t>(buf[k] | buf[k + 1] << 8);
                if (!u) break;
                units.push_back(u);
            }
            const bool ended = k + 1 < static_cast<size_t>(size);
            if (ended && room_to_grow && units.size() + 2 >= static_cast<size_t>(size) / 2) continue;
            cell.kind = Cell::Kind::text;
            cell.text = text::from_utf16(units);
            return cell;
        }
        case fld_string: {
            const auto end = std::find(buf.begin(), buf.begin() + size, 0);
            const auto length = static_cast<size_t>(end - buf.begin());
            if (end != buf.begin() + size && room_to_grow && length + 2 >= static_cast<size_t>(size) / 2) continue;
            cell.kind = Cell::Kind::text;
            cell.text = os::ansi_to_utf8(std::string_view(reinterpret_cast<const char *>(buf.data()), length));
            return cell;
        }
        default: // fld_empty, or a type this host does not show
            return cell;
        }
    }
}

// A value the library holds, as the plug-in would hand it over through the entry point in use.
Cell from_library(const reading::Field &f, bool ansi) {
    Cell cell;
    if (f.kind == reading::Field::Kind::number) {
        cell.kind = Cell::Kind::number;
        cell.number = f.number;
    } else if (f.kind == reading::Field::Kind::text) {
        cell.kind = Cell::Kind::text;
        cell.text = ansi ? os::through_ansi(f.text) : text::from_utf16(f.text);
    }
    return cell;
}

// the first element's name in a document's first bytes, past the declaration, comments, processing
// instructions and a document type; empty when there is none
std::string root_element(std::string_view head) {
    std::string decoded;
    // UTF-16 (with a byte-order mark or without, as its "<?" shows): markup names are what matters
    const bool le = head.starts_with("\xFF\xFE") || head.starts_with(std::string_view("<\0?\0", 4));
    const bool be = head.starts_with("\xFE\xFF") || head.starts_with(std::string_view("\0<\0?", 4));
    if (le || be) {
        std::u16string units;
        for (size_t k = 0; k + 1 < head.size(); k += 2)
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(head[k + (le ? 1 : 0)]) << 8 |
                                                  static_cast<unsigned char>(head[k + (le ? 0 : 1)])));
        decoded = text::from_utf16(units);
        head = decoded;
    }
    if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3); // UTF-8's byte-order mark, or UTF-16's decoded
    for (size_t i = 0; i < head.size();) {
        if (head.compare(i, 4, "<!--") == 0) {
            i = head.find("-->", i + 4);
            i = i == std::string_view::npos ? head.size() : i + 3;
        } else if (head.compare(i, 2, "<?") == 0) {
            i = head.find("?>", i + 2);
            i = i == std::string_view::npos ? head.size() : i + 2;
        } else if (head.compare(i, 2, "<!") == 0) { // a document type, its internal subset in brackets
            int depth = 0;
            for (i += 2; i < head.size() && (depth > 0 || head[i] != '>'); ++i) depth += head[i] == '[' ? 1 : head[i] == ']' ? -1 : 0;
            ++i;
        } else if (head[i] == '<') {
            const size_t end = head.find_first_of(" \t\r\n/>", i + 1);
            return std::string(head.substr(i + 1, end == std::string_view::npos ? head.size() - i - 1 : end - i - 1));
        } else if (head[i] == ' ' || head[i] == '\t' || head[i] == '\r' || head[i] == '\n') {
            ++i;
        } else {
            return {};
        }
    }
    return {};
}

// why a book that was read holds no value: its root is not the element every query starts from
std::string blank_reason(std::string_view head) {
    const std::string root = root_element(head);
    if (root.empty() || root == "FictionBook") return {};
    if (root.ends_with(":FictionBook"))
        return "its root element <" + root + "> has a namespace prefix; names are matched as written, so no "
               "column comes from it";
    return "its root element is <" + root + ">, not <FictionBook>: no column comes from it";
}

// the reason for a failure, where fb2cols can say it better than the reader's message for a file
std::string failure_reason(std::string message, std::string_view head, const fs::path *file) {
    const std::string_view kind = archive::packed_kind(head);
    if (kind == "a zip archive")
        return "a zip archive, not an FB2 file: named .zip or .fb2.zip, fb2cols reads the books in it";
    if (!kind.empty()) return "gzip-compressed, not an FB2 file: named .fb2.gz, fb2cols reads the book in it";
    if (!file) return message;
    // the reader names the file (as it was given it) before the system's words; the row names it already
    const std::string prefix = text::from_utf16(os::utf16_name(*file)) + ": ";
    if (message.starts_with(prefix)) message.erase(0, prefix.size());
    if (const auto target = os::dangling_link(*file))
        return "a link to nothing: " + (target->empty() ? std::string("its target") : *target) + " is not there";
    std::error_code ec;
    if (!fs::exists(*file, ec) && !ec) return "no such file (gone since its folder was listed)";
    return message;
}

// the first bytes of a file, for the two functions above; none when it cannot be read
std::string head_of(const fs::path &file) {
    try {
        const os::File f(file);
        std::string head(static_cast<size_t>(std::min<uint64_t>(f.size(), 1 << 16)), '\0');
        head.resize(f.read_at(0, head.data(), head.size()));
        return head;
    } catch (const os::FileError &) {
        return {};
    }
}

// what a run reads rows with
struct Reading {
    const Plugin &plugin;
    const std::vector<Column> &columns;
    bool ansi;
    bool explain; // the plug-in's fields are the reader's: fb2cols can read books itself
};

void fail(Row &row, std::string why) {
    std::fill(row.cells.begin(), row.cells.end(), Cell{});
    row.failed = true;
    row.why = std::move(why);
}

// a book whose bytes fb2cols has: read by the same reader the library is built from, as the library
// would read a file of these bytes
void from_bytes(const Reading &r, Row &row, const std::string &bytes) {
    const reading::Result result = reading::read(nullptr, bytes);
    if (result.failure) return fail(row, failure_reason(*result.failure, bytes, nullptr));
    bool any = false;
    for (size_t i = 0; i < row.cells.size(); ++i) {
        row.cells[i] = from_library(result.fields[i], r.ansi);
        any = any || row.cells[i].kind != Cell::Kind::missing;
    }
    if (!any) row.why = blank_reason(bytes);
}

void from_plugin(const Reading &r, Row &row, const fs::path &file) {
    const Name name(file);
    bool any = false;
    for (size_t i = 0; i < r.columns.size(); ++i) {
        row.cells[i] = ask(r.plugin, name, static_cast<int32_t>(i), r.ansi);
        any = any || row.cells[i].kind != Cell::Kind::missing;
    }
    if (any || !r.explain) return;
    // The exports cannot say why a book gave nothing, so it is read once more here, with the same
    // reader the plug-in is built from: its failure message is the reason. No message: it read fine.
    const reading::Result again = reading::read(&name.utf16, {});
    if (again.failure) fail(row, failure_reason(*again.failure, head_of(file), &file));
    else row.why = blank_reason(head_of(file));
}

// one book's row; runs on any thread, each with COM of its own
Row read_row(const Reading &r, const walk::Book &book) {
    Row row;
    row.file = walk::shown(book);
    row.cells.resize(r.columns.size());
    try {
        switch (book.form) {
        case walk::Book::Form::broken: fail(row, book.fault); break;
        case walk::Book::Form::member: from_bytes(r, row, archive::unzip(os::File(book.path), book.member, archive::book_limit)); break;
        case walk::Book::Form::gzip: from_bytes(r, row, archive::gunzip(os::File(book.path), archive::book_limit)); break;
        case walk::Book::Form::plain:
            if (!os::name_fits_exports(book.path) && r.explain) {
                // the entry points cannot be given this name; the book's bytes can be read all the same
                const os::File f(book.path);
                from_bytes(r, row, archive::whole(f, archive::book_limit));
            } else if (!os::name_fits_exports(book.path)) {
                fail(row, "the plug-in cannot be given this name: it is not UTF-8, and the plug-in's entry points "
                          "take UTF-16 or UTF-8");
            } else if (r.ansi && !os::ansi_holds(book.path)) {
                fail(row, "the ANSI code page cannot hold this name, so ContentGetValue cannot be given it");
            } else {
                from_plugin(r, row, book.path);
            }
            break;
        }
    } catch (const std::bad_alloc &) {
        fail(row, "out of memory");
    } catch (const std::exception &e) { // archive::Error, os::FileError, a plug-in that broke the buffer
        fail(row, text::valid_utf8(e.what()));
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

// which column a printed column is: the file, one of the plug-in's fields, or the reason
struct Pick {
    enum class Kind { file, field, why } kind;
    size_t field = 0;
};

class Writer {
public:
    Writer(Output &out, const std::vector<Column> &columns, std::vector<Pick> picks, bool header)
        : out_(out), columns_(columns), picks_(std::move(picks)), header_(header) {}
    virtual ~Writer() = default;
    virtual void row(const Row &r) = 0;
    virtual void finish() = 0;

protected:
    Output &out_;
    const std::vector<Column> &columns_;
    std::vector<Pick> picks_;
    bool header_;

    std::string name(const Pick &p) const {
        return p.kind == Pick::Kind::file ? "file" : p.kind == Pick::Kind::why ? "why" : columns_[p.field].name;
    }
    static std::string plain(const Row &r, const Pick &p) {
        if (p.kind == Pick::Kind::file) return r.file;
        if (p.kind == Pick::Kind::why) return r.why;
        const Cell &c = r.cells[p.field];
        return c.kind == Cell::Kind::number ? std::to_string(c.number) : c.text;
    }
    bool number(const Pick &p) const { return p.kind == Pick::Kind::field && columns_[p.field].type == fld_numeric32; }
};

class TsvWriter : public Writer {
public:
    using Writer::Writer;
    void row(const Row &r) override {
        header();
        std::string line;
        for (const Pick &p : picks_) line += (&p == &picks_.front() ? "" : "\t") + text::tsv_escaped(plain(r, p));
        out_.put(line + '\n');
    }
    void finish() override { header(); }

private:
    void header() {
        if (!header_) return;
        header_ = false;
        std::string line;
        for (const Pick &p : picks_) line += (&p == &picks_.front() ? "" : "\t") + text::tsv_escaped(name(p));
        out_.put(line + '\n');
    }
};

// an array of objects, or one object a line (JSON Lines)
class JsonWriter : public Writer {
public:
    JsonWriter(Output &out, const std::vector<Column> &columns, std::vector<Pick> picks, bool lines)
        : Writer(out, columns, std::move(picks), false), lines_(lines) {}
    void row(const Row &r) override {
        std::string line = lines_ ? "{" : rows_ ? ",\n  {" : "[\n  {";
        for (const Pick &p : picks_) {
            line += (&p == &picks_.front() ? "" : ", ") + text::json_quoted(name(p)) + ": ";
            const Cell *c = p.kind == Pick::Kind::field ? &r.cells[p.field] : nullptr;
            if (p.kind == Pick::Kind::file) line += text::json_quoted(r.file);
            else if (p.kind == Pick::Kind::why) line += r.why.empty() ? "null" : text::json_quoted(r.why);
            else if (c->kind == Cell::Kind::number) line += std::to_string(c->number);
            else if (c->kind == Cell::Kind::text) line += text::json_quoted(c->text);
            else line += "null";
        }
        line += lines_ ? "}\n" : "}";
        out_.put(line);
        ++rows_;
    }
    void finish() override {
        if (!lines_) out_.put(rows_ ? "\n]\n" : "[]\n");
    }

private:
    bool lines_;
    size_t rows_ = 0;
};

// every row is held until the end: the widths are known only then
class TableWriter : public Writer {
public:
    // fit: the terminal's width the lines must fit in; none keeps every value whole
    TableWriter(Output &out, const std::vector<Column> &columns, std::vector<Pick> picks, bool header,
                std::optional<size_t> fit)
        : Writer(out, columns, std::move(picks), header), fit_(fit) {
        std::vector<std::string> head;
        for (const Pick &p : picks_) head.push_back(text::visible(name(p)));
        lines_.push_back(std::move(head));
    }
    void row(const Row &r) override {
        std::vector<std::string> line;
        for (const Pick &p : picks_) line.push_back(text::visible(plain(r, p)));
        lines_.push_back(std::move(line));
    }
    void finish() override {
        const size_t n = picks_.size();
        const size_t width = fit_.value_or(SIZE_MAX);
        std::vector<layout::Column> shape(n);
        std::vector<layout::Align> align(n, layout::Align::left);
        for (size_t i = 0; i < n; ++i) {
            shape[i].name = text::display_width(lines_.front()[i]);
            shape[i].number = number(picks_[i]);
            if (shape[i].number) align[i] = layout::Align::right; // numbers line up on their last digit
            // a path keeps its end and a reason its start, before the other columns shrink to their names
            if (picks_[i].kind == Pick::Kind::file) align[i] = layout::Align::path, shape[i].keep = width / 5;
            if (picks_[i].kind == Pick::Kind::why) shape[i].keep = width / 4;
        }
        for (const auto &line : lines_)
            for (size_t i = 0; i < n; ++i) shape[i].natural = std::max(shape[i].natural, text::display_width(line[i]));
        // the file column gives up its excess first: the one file column there is
        std::vector<size_t> widths;
        const auto file = std::find_if(picks_.begin(), picks_.end(), [](const Pick &p) { return p.kind == Pick::Kind::file; });
        if (fit_) {
            widths = layout::fit(shape, width, file == picks_.end() ? n : static_cast<size_t>(file - picks_.begin()));
        } else {
            for (const layout::Column &c : shape) widths.push_back(c.natural);
        }
        for (size_t k = header_ ? 0 : 1; k < lines_.size(); ++k)
            out_.put(layout::line(lines_[k], widths, align, width) + '\n');
    }

private:
    std::optional<size_t> fit_;
    std::vector<std::vector<std::string>> lines_;
};

// ---- where the output goes

struct Terminal {
    bool out = false, err = false;
    size_t width = 80;     // standard output's
    size_t err_width = 80; // standard error's, for the progress line
};

Terminal terminal() {
    // for the tests: both streams taken for a terminal this wide, whatever they are
    if (const auto forced = options::positive(std::getenv("FB2COLS_TEST_TERMINAL"))) return {true, true, *forced, *forced};
    Terminal t{os::is_terminal(stdout), os::is_terminal(stderr)};
    const auto columns = options::positive(std::getenv("COLUMNS"));
    t.width = columns.value_or(os::terminal_width(stdout).value_or(80));
    t.err_width = columns.value_or(os::terminal_width(stderr).value_or(80));
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
    Progress(size_t books, uint64_t bytes, bool enabled, size_t width)
        : books_(books), bytes_(bytes), enabled_(enabled), room_(width > 1 ? width - 1 : 1), start_(clock::now()) {}
    ~Progress() { erase(); }

    void update(size_t books, uint64_t bytes) {
        if (!enabled_) return;
        const auto now = clock::now();
        if (now - start_ < std::chrono::seconds(1)) return;
        if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
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
        // one cell short of the width: a line that fills it would wrap on some terminals, and a
        // carriage return would then go back to the start of the next line only
        line = text::cut(line, room_);
        const size_t cells = text::display_width(line);
        // an interrupt may come the moment the line is out: what it is to blank is known before
        const size_t before = shown_cells_;
        shown_cells_ = std::max(shown_cells_, cells);
        os::progress_shown(shown_cells_);
        // pad over a longer previous line
        std::fprintf(stderr, "\r%s%s", line.c_str(), std::string(before - std::min(before, cells), ' ').c_str());
        shown_ = true;
        std::fflush(stderr);
    }

    void erase() {
        if (!shown_) return;
        std::fprintf(stderr, "\r%s\r", std::string(shown_cells_, ' ').c_str());
        std::fflush(stderr);
        os::progress_shown(0); // (blanked already: an interrupt now would blank it once more, no harm)
        shown_ = false;
    }

private:
    using clock = std::chrono::steady_clock;
    size_t books_;
    uint64_t bytes_;
    bool enabled_;
    size_t room_;
    clock::time_point start_, last_;
    bool shown_ = false;
    size_t shown_cells_ = 0;
};

fs::path find_plugin(const options::Options &o, const char *argv0) {
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

// the columns -o names (or the file and every field, and why with --why), in order
std::vector<Pick> picks(const options::Options &o, const std::vector<Column> &columns) {
    std::vector<Pick> out;
    if (o.columns.empty()) {
        out.push_back({Pick::Kind::file});
        for (size_t i = 0; i < columns.size(); ++i) out.push_back({Pick::Kind::field, i});
    }
    for (const std::string &name : o.columns) {
        // (a JSON object cannot hold a name twice)
        if (std::count(o.columns.begin(), o.columns.end(), name) > 1)
            throw UsageError("the column '" + text::visible(name) + "' is named twice; try fb2cols --help");
        if (name == "file") {
            out.push_back({Pick::Kind::file});
        } else if (name == "why") {
            out.push_back({Pick::Kind::why});
        } else {
            const auto at = std::find_if(columns.begin(), columns.end(), [&](const Column &c) { return c.name == name; });
            if (at == columns.end()) {
                std::string all = "file";
                for (const Column &c : columns) all += ", " + text::visible(c.name);
                throw UsageError("no column '" + text::visible(name) + "' (the columns are " + all +
                                 ", why); try fb2cols --help");
            }
            out.push_back({Pick::Kind::field, static_cast<size_t>(at - columns.begin())});
        }
    }
    const bool has_why = std::any_of(out.begin(), out.end(), [](const Pick &p) { return p.kind == Pick::Kind::why; });
    if (o.why && !has_why) out.push_back({Pick::Kind::why});
    return out;
}

void note(const std::string &line) { std::fprintf(stderr, "fb2cols: %s\n", line.c_str()); }

// ---- the run

int run(const std::vector<fs::path::string_type> &args, const char *argv0) {
    const auto started = std::chrono::steady_clock::now();
    const options::Options o = options::parse(args);
    if (o.help) {
        std::fputs(usage_text, stdout);
        return exit_ok;
    }
    if (o.version) {
        std::puts("fb2cols " TOVREL_VERSION);
        return exit_ok;
    }
    if (o.inputs.empty() && !o.listed) throw UsageError("no files or folders given; try fb2cols --help");

    const Plugin plugin(find_plugin(o, argv0));
    const std::vector<Column> columns = plugin.columns();
    const std::vector<Pick> shown = picks(o, columns);
    const std::string detect_text = os::ansi_to_utf8(plugin.detect());
    detect::Expression accepts;
    try {
        accepts = detect::Expression::parse(detect_text);
    } catch (const detect::SyntaxError &e) {
        note(text::visible(e.what()) + "; asking about every file");
    }
    std::vector<std::pair<std::string, int32_t>> fields;
    for (const Column &c : columns) fields.emplace_back(c.name, c.type);
    // only a plug-in built from the reader can have fb2cols read a book for it
    const bool explain = reading::fields_are_the_readers(fields);

    walk::Walk walk({accepts, detect_text, o.recursive, explain}, note);
    for (const fs::path &input : o.inputs) walk.add(input);
    uint64_t total_bytes = 0;
    for (const walk::Book &b : walk.books) total_bytes += b.size;

    const Terminal term = terminal();
    Output out;
    std::unique_ptr<Writer> writer;
    switch (o.format) {
    case Format::table:
        writer = std::make_unique<TableWriter>(out, columns, shown, !o.no_header,
                                               term.out && !o.wide ? std::optional(term.width) : std::nullopt);
        break;
    case Format::tsv: writer = std::make_unique<TsvWriter>(out, columns, shown, !o.no_header); break;
    case Format::json: writer = std::make_unique<JsonWriter>(out, columns, shown, false); break;
    case Format::jsonl: writer = std::make_unique<JsonWriter>(out, columns, shown, true); break;
    }

    // rows streamed to the same terminal would tear through the progress line
    Progress progress(walk.books.size(), total_bytes, term.err && (o.format == Format::table || !term.out),
                      term.err_width);
    const Reading reading{plugin, columns, o.ansi, explain};
    const unsigned jobs = o.jobs ? o.jobs : os::usable_cores();
    std::atomic<size_t> done_books{0};
    std::atomic<uint64_t> done_bytes{0};
    size_t failures = 0;
    ordered::run<os::ThreadScope, Row>(
        walk.books.size(), jobs, size_t{32} * jobs,
        [&](size_t i) {
            Row row = read_row(reading, walk.books[i]);
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
    const bool why_shown = std::any_of(shown.begin(), shown.end(), [](const Pick &p) { return p.kind == Pick::Kind::why; });
    if (term.err) {
        // the last line on a terminal: what was read, and how fast
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::string line = text::grouped(walk.books.size()) + (walk.books.size() == 1 ? " book" : " books");
        if (failures) line += ", " + text::grouped(failures) + " could not be read" + (why_shown ? "" : " (--why)");
        char time[32];
        std::snprintf(time, sizeof time, "%.1f s", secs);
        line += ", " + size_text(total_bytes) + " in " + time;
        std::fprintf(stderr, "%s\n", line.c_str());
    } else if (failures && !why_shown) {
        note(std::to_string(failures) + " of " + std::to_string(walk.books.size()) +
             " books could not be read (--why tells why)");
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
            // (a usage line may name what the user typed: shown, never acted on by the terminal)
            note(text::visible(e.what()));
            status = exit_usage;
        }
    } catch (const std::exception &e) {
        note(text::visible(e.what()));
        status = exit_unread;
    }
    return status;
}
