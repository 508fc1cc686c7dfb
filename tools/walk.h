// The files to ask about: the arguments in the order given, folders walked in sorted order of names.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "detect.h"
#include "os.h"

namespace walk {

struct Book {
    std::filesystem::path path;
    uint64_t size = 0; // as listed; 0 for a book that was gone by then
};

class Walk {
public:
    // note receives one line for standard error (without "fb2cols: " and the line break)
    Walk(const detect::Expression &accepts, bool recursive, std::string detect_text,
         std::function<void(const std::string &)> note);

    void add(const std::filesystem::path &input);

    std::vector<Book> books;
    bool failed = false; // an argument was missing or a folder could not be listed

private:
    const detect::Expression &accepts_;
    bool recursive_;
    std::string detect_text_;
    std::function<void(const std::string &)> note_;
    // every folder entered, by identity: a folder reached twice (a loop through a link the listing
    // did not show as one, a bind mount, an argument given twice) is walked once
    std::map<os::FolderId, std::filesystem::path> entered_;

    void folder(const std::filesystem::path &top);
    bool enter(const std::filesystem::path &dir, std::vector<os::Entry> &entries);
};

} // namespace walk
