// fb2cols: a command-line host. It loads a content plug-in as a file manager does, learns the fields
// and the detect string through the exports, and prints one row of columns per book.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>
#include <shellapi.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include "../plugin/contplug.h"
#include "FB2_Info.h"
#include "detect.h"
#include "text.h"
#include "unicode.h"

#ifndef TOVREL_VERSION
#define TOVREL_VERSION "unknown"
#endif

// the plug-in a file manager of the same word size would load
#ifdef _WIN64
#define DEFAULT_PLUGIN "tovrel.wdx64"
#else
#define DEFAULT_PLUGIN "tovrel.wdx"
#endif

namespace fs = std::filesystem;

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
  -r, --recursive   walk subfolders too
      --tsv         tab-separated values under a header line; a tab, line break or
                    backslash inside a value is written as \t, \n, \r or \\
      --json        a JSON array of objects: field names as keys, numbers as numbers,
                    null for a value the book lacks
      --ansi        ask through ContentGetValue (ANSI names and text) instead of
                    ContentGetValueW (UTF-16)
      --why         add a column "why": the reason a file could not be read
      --plugin PATH the plug-in library (default: )" DEFAULT_PLUGIN R"( beside fb2cols)
  -h, --help        show this text
      --version     show the version

exit status: 0 every file was read, 1 some could not be, 2 bad usage or no usable plug-in
)";

// ends the run with status 2 and a one-line message
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using Arg = fs::path::string_type;

// ---- the platform: names, code pages, loading a library

#ifdef _WIN32

std::string utf8(std::wstring_view w) { return text::from_utf16(std::u16string(w.begin(), w.end())); }

std::u16string from_ansi(std::string_view a) {
    if (a.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, a.data(), static_cast<int>(a.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, a.data(), static_cast<int>(a.size()), w.data(), n);
    return std::u16string(w.begin(), w.end());
}

std::string to_ansi(std::wstring_view w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string a(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), a.data(), n, nullptr, nullptr);
    return a;
}

std::string system_message(DWORD code) {
    wchar_t *msg = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t *>(&msg), 0, nullptr);
    std::string s = n ? utf8(std::wstring_view(msg, n)) : "error " + std::to_string(code);
    if (msg) LocalFree(msg);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s;
}

std::string arg_text(const Arg &a) { return utf8(a); }
// one separator throughout: "books/x" joined with a name reads books\x\name
std::string shown(const fs::path &p) { return utf8(fs::path(p).make_preferred().native()); }
std::u16string utf16_name(const fs::path &p) { return std::u16string(p.native().begin(), p.native().end()); }
std::string ansi_name(const fs::path &p) { return to_ansi(p.native()); }
std::string ansi_to_utf8(std::string_view s) { return unicode::utf16_to_utf8(from_ansi(s)); }
bool is_terminal(FILE *f) { return _isatty(_fileno(f)) != 0; }

#else

std::string arg_text(const Arg &a) { return text::valid_utf8(a); }
std::string shown(const fs::path &p) { return text::valid_utf8(p.native()); }
// not path::u16string(): it throws on a name that is not UTF-8, where this widens with U+FFFD
std::u16string utf16_name(const fs::path &p) { return unicode::utf8_to_utf16(p.native()); }
// the ANSI code page is UTF-8 here: the name's own bytes
std::string ansi_name(const fs::path &p) { return p.native(); }
std::string ansi_to_utf8(std::string_view s) { return text::valid_utf8(s); }
bool is_terminal(FILE *f) { return isatty(fileno(f)) != 0; }

#endif

using AnyProc = void (*)();

class Library {
public:
    explicit Library(const fs::path &file) {
#ifdef _WIN32
        handle_ = LoadLibraryW(file.c_str());
        if (!handle_) throw UsageError("cannot load plug-in " + shown(file) + ": " + system_message(GetLastError()));
#else
        handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            const char *why = dlerror();
            throw UsageError("cannot load plug-in: " + text::valid_utf8(why ? why : shown(file)));
        }
#endif
    }
    ~Library() {
#ifdef _WIN32
        FreeLibrary(handle_);
#else
        dlclose(handle_);
#endif
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    AnyProc symbol(const char *name) const {
#ifdef _WIN32
        return reinterpret_cast<AnyProc>(GetProcAddress(handle_, name));
#else
        return reinterpret_cast<AnyProc>(dlsym(handle_, name));
#endif
    }

private:
#ifdef _WIN32
    HMODULE handle_;
#else
    void *handle_;
#endif
};

fs::path exe_dir([[maybe_unused]] const char *argv0) {
#ifdef _WIN32
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    buf.resize(n);
    return fs::path(buf).parent_path();
#else
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) return self.parent_path();
    // no /proc: argv[0] holds the path when the tool was started by one
    if (argv0 && std::strchr(argv0, '/')) return fs::absolute(argv0, ec).parent_path();
    return fs::current_path(ec);
#endif
}

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
        for (auto [proc, name] : {std::pair{reinterpret_cast<AnyProc>(supported_field), "ContentGetSupportedField"},
                                  {reinterpret_cast<AnyProc>(detect_string), "ContentGetDetectString"},
                                  {reinterpret_cast<AnyProc>(value_w), "ContentGetValueW"},
                                  {reinterpret_cast<AnyProc>(value_a), "ContentGetValue"}})
            if (!proc) missing += (missing.empty() ? "" : ", ") + std::string(name);
        if (!missing.empty()) throw UsageError(shown(file) + " is not a content plug-in: it lacks " + missing);
    }

    std::vector<Column> columns() const {
        std::vector<Column> out;
        // a plug-in that never says fld_nomore must not keep us here
        for (int32_t i = 0; i < 1000; ++i) {
            std::array<char, buf_size> name{}, units{};
            const int32_t type = supported_field(i, name.data(), units.data(), buf_size);
            if (type == fld_nomore) break;
            name.back() = '\0';
            out.push_back({ansi_to_utf8(name.data()), type});
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
    Library lib_;
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
    explicit Name(const fs::path &p) : utf16(utf16_name(p)), ansi(ansi_name(p)) {}
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
        cell.text = ansi_to_utf8(std::string_view(reinterpret_cast<const char *>(buf.data()),
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
std::optional<std::string> read_failure(const Name &name) {
    try {
        FB2TitleInfo info(name.utf16);
        return std::nullopt;
    } catch (const std::exception &e) {
        return text::valid_utf8(e.what());
    }
}

// the reader can only explain a plug-in that offers the reader's own fields
bool reader_explains(const std::vector<Column> &columns) {
    if (columns.size() != static_cast<size_t>(ContentFieldCount)) return false;
    for (int32_t i = 0; i < ContentFieldCount; ++i)
        if (columns[i].name != ContentFields[i].f_name || columns[i].type != ContentFields[i].f_type) return false;
    return true;
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
    TableWriter(Output &out, const std::vector<Column> &columns, bool why) : Writer(out, columns, why) {
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
        std::vector<size_t> width(n, 0);
        for (const auto &line : lines_)
            for (size_t i = 0; i < n; ++i) width[i] = std::max(width[i], text::display_width(line[i]));
        for (const auto &line : lines_) {
            std::string s;
            for (size_t i = 0; i < n; ++i) {
                if (i) s += "  ";
                const std::string pad(width[i] - text::display_width(line[i]), ' ');
                // numbers line up on their last digit
                const bool right = i >= 1 && i <= columns_.size() && columns_[i - 1].type == fld_numeric32;
                s += right ? pad + line[i] : line[i] + pad;
            }
            s.erase(s.find_last_not_of(' ') + 1);
            out_.put(s + '\n');
        }
    }

private:
    std::vector<std::vector<std::string>> lines_;
};

// ---- progress on a terminal: only for runs longer than a second, at most ten updates a second

class Progress {
public:
    Progress(size_t total, bool enabled) : total_(total), enabled_(enabled), start_(clock::now()) {}
    ~Progress() { erase(); }

    void done(size_t n) {
        if (!enabled_) return;
        const auto now = clock::now();
        if (now - start_ < std::chrono::seconds(1)) return;
        if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        const double secs = std::chrono::duration<double>(now - start_).count();
        char line[128];
        const int len = std::snprintf(line, sizeof line, "%zu/%zu files, %.0f files/s", n, total_, n / secs);
        // pad over a longer previous line
        std::fprintf(stderr, "\r%s%*s", line, std::max(0, width_ - len), "");
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
    size_t total_;
    bool enabled_;
    clock::time_point start_, last_;
    bool shown_ = false;
    int width_ = 0;
};

// ---- arguments

enum class Format { table, tsv, json };

struct Options {
    bool help = false, version = false, recursive = false, ansi = false, why = false;
    Format format = Format::table;
    std::optional<fs::path> plugin;
    std::vector<fs::path> inputs;
};

Options parse_args(const std::vector<Arg> &args) {
    Options o;
    bool options_end = false, tsv = false, json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string a = arg_text(args[i]);
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
        } else if (a == "--tsv") {
            tsv = true;
        } else if (a == "--json") {
            json = true;
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
            throw UsageError("unknown option '" + a + "'");
        }
    }
    if (tsv && json) throw UsageError("--tsv and --json exclude each other");
    o.format = tsv ? Format::tsv : json ? Format::json : Format::table;
    return o;
}

// ---- the files to ask about

class Walk {
public:
    Walk(const detect::Expression &accepts, bool recursive, std::string detect_text)
        : accepts_(accepts), recursive_(recursive), detect_text_(std::move(detect_text)) {}

    void add(const fs::path &input) {
        std::error_code ec;
        if (fs::is_directory(input, ec)) {
            folder(input);
        } else if (accepts_.accepts_file(input)) {
            // a missing file named here is asked too: its row says it could not be read
            files.push_back(input);
        } else {
            std::fprintf(stderr, "fb2cols: skipping %s: the plug-in's detect string %s does not accept it\n",
                         text::visible(shown(input)).c_str(), text::visible(detect_text_).c_str());
        }
    }

    std::vector<fs::path> files;
    bool failed = false;

private:
    const detect::Expression &accepts_;
    bool recursive_;
    std::string detect_text_;

    void folder(const fs::path &dir) {
        std::vector<fs::directory_entry> entries;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
        if (ec) {
            std::fprintf(stderr, "fb2cols: cannot list %s: %s\n", text::visible(shown(dir)).c_str(), ec.message().c_str());
            failed = true;
        }
        // by name, so the output is the same on every run and file system
        std::sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) {
            return a.path().filename().native() < b.path().filename().native();
        });
        for (const auto &e : entries) {
            std::error_code sec;
            if (e.is_regular_file(sec)) {
                if (accepts_.accepts_file(e.path())) files.push_back(e.path());
            } else if (recursive_ && e.is_directory(sec) && !e.is_symlink(sec)) {
                // linked folders are not entered: a link to a parent would never end
                folder(e.path());
            }
        }
    }
};

// ---- the run

int run(const std::vector<Arg> &args, const char *argv0) {
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

    std::error_code ec;
    const fs::path plugin_path = o.plugin ? fs::absolute(*o.plugin, ec) : exe_dir(argv0) / DEFAULT_PLUGIN;
    if (!fs::is_regular_file(plugin_path, ec))
        throw UsageError("no plug-in at " + shown(plugin_path) + (o.plugin ? "" : "; name one with --plugin"));
    const Plugin plugin(plugin_path);

    const std::vector<Column> columns = plugin.columns();
    const std::string detect_text = ansi_to_utf8(plugin.detect());
    detect::Expression accepts;
    try {
        accepts = detect::Expression::parse(detect_text);
    } catch (const detect::SyntaxError &e) {
        std::fprintf(stderr, "fb2cols: %s; asking about every file\n", e.what());
    }

    Walk walk(accepts, o.recursive, detect_text);
    for (const fs::path &input : o.inputs) walk.add(input);

    Output out;
    std::unique_ptr<Writer> writer;
    switch (o.format) {
    case Format::table: writer = std::make_unique<TableWriter>(out, columns, o.why); break;
    case Format::tsv: writer = std::make_unique<TsvWriter>(out, columns, o.why); break;
    case Format::json: writer = std::make_unique<JsonWriter>(out, columns, o.why); break;
    }

    // rows streamed to the same terminal would tear through the progress line
    Progress progress(walk.files.size(),
                      is_terminal(stderr) && (o.format == Format::table || !is_terminal(stdout)));
    const bool explain = reader_explains(columns);
    size_t failures = 0, done = 0;
    for (const fs::path &file : walk.files) {
        const Name name(file);
        Row row;
        row.file = shown(file);
        bool any = false;
        for (size_t i = 0; i < columns.size(); ++i) {
            row.cells.push_back(ask(plugin, name, static_cast<int32_t>(i), o.ansi));
            any = any || row.cells.back().kind != Cell::Kind::missing;
        }
        if (!any && explain) {
            if (auto why = read_failure(name)) {
                row.failed = true;
                row.why = std::move(*why);
                ++failures;
            }
        }
        writer->row(row);
        progress.done(++done);
    }
    progress.erase();
    writer->finish();

    if (!out.finish()) {
        std::fputs("fb2cols: cannot write the output\n", stderr);
        return exit_unread;
    }
    if (failures && !o.why)
        std::fprintf(stderr, "fb2cols: %zu of %zu files could not be read (--why tells why)\n", failures,
                     walk.files.size());
    return failures || walk.failed ? exit_unread : exit_ok;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<Arg> args;
#ifdef _WIN32
    // the wide command line: names outside the ANSI code page survive
    int wargc = 0;
    if (wchar_t **wargv = CommandLineToArgvW(GetCommandLineW(), &wargc)) {
        args.assign(wargv + std::min(wargc, 1), wargv + wargc);
        LocalFree(wargv);
    }
    // the same bytes on every platform; a console shows them as UTF-8
    _setmode(_fileno(stdout), _O_BINARY);
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) SetConsoleOutputCP(CP_UTF8);
    // the reader's Windows back end drives a COM object on this thread
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
#else
    args.assign(argv + std::min(argc, 1), argv + argc);
#endif
    int status;
    try {
        status = run(args, argc > 0 ? argv[0] : nullptr);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "fb2cols: %s\n", e.what());
        status = exit_usage;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "fb2cols: %s\n", e.what());
        status = exit_unread;
    }
#ifdef _WIN32
    if (SUCCEEDED(com)) CoUninitialize();
#endif
    return status;
}
