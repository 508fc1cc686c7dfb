// The files to ask about: the arguments in the order given, folders walked in sorted order of names,
// and, where fb2cols can read them itself, the books inside zip archives and gzip files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive.h"
#include "detect.h"
#include "os.h"

namespace walk {

struct Book {
    enum class Form {
        plain,  // a file the plug-in is asked about
        member, // a book inside a zip archive (path)
        gzip,   // a gzip file holding one book
        broken, // an archive whose directory cannot be read: fault says why
    } form = Form::plain;
    std::filesystem::path path;
    uint64_t size = 0; // bytes on disk as listed (a member's packed bytes); 0 for a book gone by then
    archive::Member member;
    std::string fault;
};

// the file column: the path, and for a member its name inside the archive, with the platform's separator
std::string shown(const Book &book);

struct Rules {
    const detect::Expression &accepts;
    std::string detect_text;
    bool recursive = false;
    bool archives = false; // read zip archives and gzip files as the books they hold
};

class Walk {
public:
    // note receives one line for standard error (without "fb2cols: " and the line break)
    Walk(Rules rules, std::function<void(const std::string &)> note);

    void add(const std::filesystem::path &input);

    std::vector<Book> books;
    bool failed = false; // an argument was missing or a folder could not be listed

private:
    // a file reached twice (named twice, or named and in a folder walked) is asked once: its folder's
    // identity and its name as the file system compares names
    using Key = std::pair<os::FolderId, std::string>;

    Rules rules_;
    std::function<void(const std::string &)> note_;
    // every folder entered, by identity: a folder reached twice (a loop through a link the listing
    // did not show as one, a bind mount, an argument given twice) is walked once
    std::map<os::FolderId, std::filesystem::path> entered_;
    std::set<Key> seen_;
    bool hinted_ = false; // the note on books in subfolders without -r is given once

    void folder(const std::filesystem::path &top);
    bool enter(const std::filesystem::path &dir, std::vector<os::Entry> &entries, std::optional<os::FolderId> &id);
    void file(const os::Entry &e, const std::optional<os::FolderId> &in, bool named);
    void zip(const os::Entry &e, const std::optional<os::FolderId> &in, bool named);
    bool fresh(const std::optional<os::FolderId> &in, const std::filesystem::path &p);
    bool holds_books(const std::filesystem::path &dir) const;
    bool is_book(const std::filesystem::path &p) const;
};

} // namespace walk
