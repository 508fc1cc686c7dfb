// What the fb2cols suites share: running the built tool in a folder and taking its output apart, the
// books they write, and an environment variable for a scope.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "support.h"

namespace fb2cols_test {

namespace fs = std::filesystem;

using support::host_path;

inline fs::path tool() { return host_path(FB2COLS_EXE); }

// the library under test; empty when CTest did not say, and fb2cols then finds its own copy
inline std::string plugin() {
    const char *env = std::getenv("TOVREL_PLUGIN");
    return env && *env ? host_path(env).string() : std::string();
}

inline std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string quoted(const std::string &s) {
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
inline Result run(const fs::path &cwd, const std::vector<std::string> &args, bool with_plugin = true,
                  [[maybe_unused]] bool keep_separators = false, const std::string *input = nullptr) {
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
    // standard input: nothing, or the text given
    std::string from = "NUL";
#ifndef _WIN32
    from = "/dev/null";
#endif
    if (input) {
        from = (capture.path() / "in").string();
        std::ofstream(fs::path(from), std::ios::binary) << *input;
    }
#ifdef _WIN32
    cmd = '"' + cmd + " <" + fb2cols_test::quoted(from) + '"'; // cmd.exe drops the outer pair of quotes
#else
    cmd += " <" + fb2cols_test::quoted(from);
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
    // standard error is in text mode there
    for (size_t at = 0; (at = r.err.find("\r\n", at)) != std::string::npos;) r.err.erase(at, 1);
    // the file column uses the platform's separator, which TSV and JSON escape; the expectations use '/'
    if (!keep_separators) {
        const bool escaped = std::find_if(args.begin(), args.end(), [](const std::string &a) {
                                 return a == "--tsv" || a == "--json" || a == "--jsonl";
                             }) != args.end();
        const std::string sep = escaped ? "\\\\" : "\\";
        for (size_t at = 0; (at = r.out.find(sep, at)) != std::string::npos;) r.out.replace(at, sep.size(), "/");
    }
#endif
    return r;
}

// an environment variable for the runs of fb2cols in a scope (the child inherits it)
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string &value) : name_(std::move(name)) { set(value.c_str()); }
    ~ScopedEnv() { set(nullptr); }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    void set(const char *value) {
#ifdef _WIN32
        _putenv_s(name_.c_str(), value ? value : "");
#else
        if (value) setenv(name_.c_str(), value, 1);
        else unsetenv(name_.c_str());
#endif
    }
};

inline std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= s.size(); ++i)
        if (i == s.size() || s[i] == sep) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    return parts;
}

inline std::vector<std::string> lines(const std::string &s) {
    auto all = split(s, '\n');
    if (!all.empty() && all.back().empty()) all.pop_back();
    return all;
}

// ---- books written here

inline std::string fb2(std::string_view title_info, std::string_view encoding = "UTF-8") {
    return "<?xml version=\"1.0\" encoding=\"" + std::string(encoding) +
           "\"?>\n<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\">\n<description>\n<title-info>\n" +
           std::string(title_info) + "\n</title-info>\n</description>\n<body><section><p>text</p></section></body>\n" +
           "</FictionBook>\n";
}

} // namespace fb2cols_test
