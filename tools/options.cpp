#include "options.h"

#include <cstdlib>
#include <string_view>

#include "os.h"
#include "text.h"

namespace fs = std::filesystem;

namespace options {

namespace {

[[noreturn]] void bad(const std::string &what) { throw os::UsageError(what + "; try fb2cols --help"); }

unsigned jobs_value(const std::string &option, const std::string &value) {
    const auto n = positive(value.c_str());
    if (!n || *n > max_jobs)
        bad(option + " needs a number of threads from 1 to " + std::to_string(max_jobs) + ", not '" +
            text::visible(value) + "'");
    return static_cast<unsigned>(*n);
}

std::vector<std::string> column_list(const std::string &option, const std::string &value) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i <= value.size(); ++i)
        if (i == value.size() || value[i] == ',') {
            if (i == start) bad(option + " needs column names separated by commas, not '" + text::visible(value) + "'");
            out.push_back(value.substr(start, i - start));
            start = i + 1;
        }
    return out;
}

// the names in a list: one a line (a CR before the line feed dropped, where Windows editors put it),
// or NUL-separated; an empty one is no name
void add_listed(Options &o, const fs::path &list, bool nul) {
    const std::string shown = list == "-" ? std::string("on standard input") : text::visible(os::shown(list));
    std::string all;
    try {
        all = os::read_list(list);
    } catch (const os::FileError &e) {
        throw os::UsageError("cannot read the list " + shown + ": " + e.what());
    }
    const char separator = nul ? '\0' : '\n';
    // a name cannot hold a NUL, and the system would open the name cut at it: this is a list for -0
    if (!nul && all.find('\0') != std::string::npos)
        bad("the list " + shown + " holds a NUL byte (-0 takes its names NUL-separated)");
    size_t start = 0;
    for (size_t i = 0; i <= all.size(); ++i) {
        if (i < all.size() && all[i] != separator) continue;
        std::string_view name(all.data() + start, i - start);
#ifdef _WIN32
        if (!nul && name.ends_with('\r')) name.remove_suffix(1);
#endif
        if (!name.empty()) o.inputs.push_back(os::path_from_list(name));
        start = i + 1;
    }
}

const char *format_name(Format f) {
    switch (f) {
    case Format::tsv: return "--tsv";
    case Format::json: return "--json";
    case Format::jsonl: return "--jsonl";
    case Format::table: break;
    }
    return "";
}

} // namespace

std::optional<size_t> positive(const char *s) {
    if (!s || !*s) return std::nullopt;
    char *end = nullptr;
    const unsigned long v = std::strtoul(s, &end, 10);
    if (*end || v == 0 || v > 100000 || *s == '-' || *s == '+' || *s == ' ') return std::nullopt;
    return static_cast<size_t>(v);
}

Options parse(const std::vector<fs::path::string_type> &args) {
    Options o;
    bool options_end = false, nul = false;
    std::optional<Format> format;
    // a name, or the list to read at that place once -0 is known
    std::vector<std::pair<fs::path, bool>> names;
    auto set_format = [&](Format f) {
        if (format && *format != f) bad(std::string(format_name(*format)) + " and " + format_name(f) + " exclude each other");
        format = f;
    };
    // an option's value: what follows "=", else the next argument
    size_t i = 0;
    auto value = [&](const std::string &option, std::optional<std::string> inline_value, const char *needs) {
        if (inline_value) return *inline_value;
        if (++i == args.size()) bad(option + " needs " + needs);
        return os::arg_text(args[i]);
    };
    for (; i < args.size(); ++i) {
        const std::string a = os::arg_text(args[i]);
        if (options_end || a.size() < 2 || a[0] != '-') {
            names.emplace_back(args[i], false);
        } else if (a == "--") {
            options_end = true;
        } else if (a.starts_with("--")) {
            const size_t eq = a.find('=');
            const std::string name = a.substr(0, eq);
            const std::optional<std::string> inline_value =
                eq == std::string::npos ? std::nullopt : std::optional(a.substr(eq + 1));
            const bool flag = !inline_value;
            if (name == "--help" && flag) o.help = true;
            else if (name == "--version" && flag) o.version = true;
            else if (name == "--recursive" && flag) o.recursive = true;
            else if (name == "--tsv" && flag) set_format(Format::tsv);
            else if (name == "--json" && flag) set_format(Format::json);
            else if (name == "--jsonl" && flag) set_format(Format::jsonl);
            else if (name == "--wide" && flag) o.wide = true;
            else if (name == "--ansi" && flag) o.ansi = true;
            else if (name == "--why" && flag) o.why = true;
            else if (name == "--no-header" && flag) o.no_header = true;
            else if (name == "--null" && flag) nul = true;
            else if (name == "--jobs") o.jobs = jobs_value(name, value(name, inline_value, "a number of threads"));
            else if (name == "--columns") o.columns = column_list(name, value(name, inline_value, "a list of columns"));
            else if (name == "--plugin") {
                // the path as given, not as text: a name outside UTF-8 must survive
                if (inline_value) o.plugin = fs::path(args[i].substr(eq + 1));
                else if (++i == args.size()) bad("--plugin needs a path");
                else o.plugin = fs::path(args[i]);
            } else if (name == "--files-from") {
                if (inline_value) names.emplace_back(fs::path(args[i].substr(eq + 1)), true);
                else if (++i == args.size()) bad("--files-from needs a file (- for standard input)");
                else names.emplace_back(fs::path(args[i]), true);
            } else bad("unknown option '" + text::visible(a) + "'");
        } else {
            // short options, combined: "-rn0j2", "-o title,seq -j 2"
            for (size_t k = 1; k < a.size(); ++k) {
                const char c = a[k];
                const std::string option = std::string("-") + c;
                const std::optional<std::string> rest = k + 1 < a.size() ? std::optional(a.substr(k + 1)) : std::nullopt;
                if (c == 'r') o.recursive = true;
                else if (c == 'n') o.no_header = true;
                else if (c == '0') nul = true;
                else if (c == 'h') o.help = true;
                else if (c == 'j') {
                    o.jobs = jobs_value(option, value(option, rest, "a number of threads"));
                    break;
                } else if (c == 'o') {
                    o.columns = column_list(option, value(option, rest, "a list of columns"));
                    break;
                } else {
                    bad("unknown option '" + text::visible(option) + "'" +
                        (a.size() > 2 ? " in '" + text::visible(a) + "'" : std::string()));
                }
            }
        }
    }
    o.format = format.value_or(Format::table);
    for (const auto &[name, list] : names) {
        if (!list) {
            o.inputs.push_back(name);
        } else if (!o.help && !o.version) {
            add_listed(o, name, nul);
            o.listed = true;
        }
    }
    return o;
}

} // namespace options
