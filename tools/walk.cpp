#include "walk.h"

#include <algorithm>

#include "text.h"

namespace fs = std::filesystem;

namespace walk {

namespace {

std::string named(const fs::path &p) { return text::visible(os::shown(p)); }

} // namespace

Walk::Walk(const detect::Expression &accepts, bool recursive, std::string detect_text,
           std::function<void(const std::string &)> note)
    : accepts_(accepts), recursive_(recursive), detect_text_(std::move(detect_text)), note_(std::move(note)) {}

void Walk::add(const fs::path &input) {
    std::error_code ec;
    const os::Entry e = os::look_at(input, ec);
    if (ec) {
        const bool missing = ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
        note_(named(input) + ": " + (missing ? std::string("no such file or folder") : os::message(ec)));
        failed = true;
    } else if (e.kind == os::Kind::folder) {
        folder(input);
    } else if (accepts_.accepts_file(input)) {
        books.push_back({input, e.size});
    } else {
        note_("skipping " + named(input) + ": the plug-in's detect string " + text::visible(detect_text_) +
              " does not accept it");
    }
}

// the folder's entries sorted by name, unless it was entered before or cannot be listed
bool Walk::enter(const fs::path &dir, std::vector<os::Entry> &entries) {
    if (const auto id = os::folder_id(dir)) {
        const auto [at, fresh] = entered_.try_emplace(*id, dir);
        if (!fresh) {
            note_("skipping " + named(dir) + ": the same folder as " + named(at->second) + ", walked already");
            return false;
        }
    }
    std::error_code ec;
    entries = os::list_folder(dir, ec);
    if (ec) {
        note_("cannot list " + named(dir) + ": " + os::message(ec));
        failed = true;
    }
    // by name, so the output is the same on every run and file system
    std::sort(entries.begin(), entries.end(), [](const os::Entry &a, const os::Entry &b) {
        return a.path.filename().native() < b.path.filename().native();
    });
    return true;
}

// depth first, each folder's entries in order, subfolders where they sort; a stack of our own, so
// a deep tree cannot exhaust the thread's
void Walk::folder(const fs::path &top) {
    struct Level {
        std::vector<os::Entry> entries;
        size_t next = 0;
    };
    std::vector<Level> stack(1);
    if (!enter(top, stack.back().entries)) return;
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.next == level.entries.size()) {
            stack.pop_back();
            continue;
        }
        os::Entry e = std::move(level.entries[level.next++]);
        switch (e.kind) {
        case os::Kind::file:
        case os::Kind::vanished: // listed, then gone: asked all the same, and its row says so
            if (accepts_.accepts_file(e.path)) books.push_back({std::move(e.path), e.size});
            break;
        case os::Kind::folder:
            if (recursive_) {
                Level sub;
                if (enter(e.path, sub.entries)) stack.push_back(std::move(sub));
            }
            break;
        case os::Kind::linked_folder: // not entered: a link to a parent would never end
        case os::Kind::other:         // a FIFO or device is no book, and reading one could wait forever
            break;
        }
    }
}

} // namespace walk
