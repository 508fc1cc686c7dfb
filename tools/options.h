// fb2cols's command line: the options, and the names it is given, on it or in lists.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace options {

enum class Format { table, tsv, json, jsonl };

inline constexpr unsigned max_jobs = 1024;

struct Options {
    bool help = false, version = false, recursive = false, ansi = false, why = false, wide = false;
    bool no_header = false;
    Format format = Format::table;
    unsigned jobs = 0;                // 0: every usable core
    std::optional<std::filesystem::path> plugin;
    std::vector<std::string> columns; // -o, in the order given; empty: the file and every field
    std::vector<std::filesystem::path> inputs; // the names, those of the lists where the lists were named
    bool listed = false;                       // names were asked of a list (which may hold none)
};

// Short options combine as in "-rj2" (a value runs to the end of its argument or takes the next one);
// long ones take "--name=value" or "--name value"; after "--" every argument is a name. Lists named
// with --files-from ("-": standard input) are read here, one name a line, or NUL-separated with -0.
// Throws os::UsageError with a line that ends in a pointer to --help.
Options parse(const std::vector<std::filesystem::path::string_type> &args);

// a positive number of at most 100,000 from an option or the environment
std::optional<size_t> positive(const char *s);

} // namespace options
