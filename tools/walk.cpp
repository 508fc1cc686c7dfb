#include "walk.h"

#include <algorithm>

#include "text.h"

namespace fs = std::filesystem;

namespace walk {

namespace {

std::string named(const fs::path &p) { return text::visible(os::shown(p)); }

bool extension_is(const fs::path &p, std::string_view lower) {
    std::string ext = detect::extension_of(p);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return ext == lower;
}

// the extension of a member's own name, after its folders
std::string member_extension(std::string_view name) {
    const size_t slash = name.find_last_of("/\\");
    const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
    const size_t dot = base.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(base.substr(dot + 1));
}

} // namespace

std::string shown(const Book &book) {
    std::string s = os::shown(book.path);
    if (book.form == Book::Form::member) {
        constexpr char separator = static_cast<char>(fs::path::preferred_separator);
        s += separator;
        for (const char c : book.member.name) s += c == '/' ? separator : c;
    }
    return s;
}

Walk::Walk(Rules rules, std::function<void(const std::string &)> note)
    : rules_(std::move(rules)), note_(std::move(note)) {}

void Walk::add(const fs::path &input) {
    std::error_code ec;
    const os::Entry e = os::look_at(input, ec);
    if (ec) {
        const bool missing = ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory;
        note_(named(input) + ": " + (missing ? std::string("no such file or folder") : os::message(ec)));
        failed = true;
    } else if (e.kind == os::Kind::folder) {
        folder(input);
    } else {
        const fs::path parent = input.has_parent_path() ? input.parent_path() : fs::path(".");
        file(e, os::folder_id(parent), true);
    }
}

bool Walk::is_book(const fs::path &p) const {
    if (rules_.archives && (extension_is(p, "zip") || (extension_is(p, "gz") && rules_.accepts.accepts_file(p.stem()))))
        return true;
    return rules_.accepts.accepts_file(p);
}

bool Walk::fresh(const std::optional<os::FolderId> &in, const fs::path &p) {
    // a folder that cannot be told apart from others (no identity) keeps every name
    return !in || seen_.emplace(*in, os::name_key(p.filename())).second;
}

void Walk::file(const os::Entry &e, const std::optional<os::FolderId> &in, bool named_here) {
    if (rules_.archives && extension_is(e.path, "zip")) {
        zip(e, in, named_here);
    } else if (rules_.archives && extension_is(e.path, "gz") && rules_.accepts.accepts_file(e.path.stem())) {
        if (fresh(in, e.path)) books.push_back({Book::Form::gzip, e.path, e.size, {}, {}});
    } else if (rules_.accepts.accepts_file(e.path)) {
        if (fresh(in, e.path)) books.push_back({Book::Form::plain, e.path, e.size, {}, {}});
    } else if (named_here) {
        note_("skipping " + named(e.path) + ": the plug-in's detect string " + text::visible(rules_.detect_text) +
              " does not accept it");
    }
}

// an archive is a folder of its own: every member the detect string accepts, at any depth, sorted
void Walk::zip(const os::Entry &e, const std::optional<os::FolderId> &in, bool named_here) {
    if (!fresh(in, e.path)) return;
    std::vector<archive::Member> members;
    try {
        const os::File f(e.path);
        members = archive::directory(f);
    } catch (const std::exception &x) { // archive::Error, os::FileError: a row that says why
        books.push_back({Book::Form::broken, e.path, e.size, {}, x.what()});
        return;
    }
    std::stable_sort(members.begin(), members.end(),
                     [](const archive::Member &a, const archive::Member &b) { return a.name < b.name; });
    size_t found = 0;
    for (archive::Member &m : members) {
        if (!rules_.accepts.accepts(member_extension(m.name))) continue;
        const uint64_t packed = m.packed;
        books.push_back({Book::Form::member, e.path, packed, std::move(m), {}});
        ++found;
    }
    if (!found && named_here)
        note_(named(e.path) + " holds no file the plug-in's detect string " + text::visible(rules_.detect_text) +
              " accepts");
}

// the folder's entries sorted by name, unless it was entered before or cannot be listed
bool Walk::enter(const fs::path &dir, std::vector<os::Entry> &entries, std::optional<os::FolderId> &id) {
    id = os::folder_id(dir);
    if (id) {
        const auto [at, first] = entered_.try_emplace(*id, dir);
        if (!first) {
            note_("skipping " + named(dir) + ": " +
                  (os::shown(at->second) == os::shown(dir) ? std::string("named twice")
                                                           : "the same folder as " + named(at->second)) +
                  ", walked already");
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

// whether a book lies anywhere below dir, for the note on what -r would add; stops at the first
bool Walk::holds_books(const fs::path &dir) const {
    std::vector<fs::path> left{dir};
    std::set<os::FolderId> seen;
    while (!left.empty()) {
        const fs::path d = std::move(left.back());
        left.pop_back();
        const auto id = os::folder_id(d);
        if (id && !seen.insert(*id).second) continue;
        std::error_code ec;
        for (const os::Entry &e : os::list_folder(d, ec)) {
            if (e.kind == os::Kind::file && is_book(e.path)) return true;
            if (e.kind == os::Kind::folder) left.push_back(e.path);
        }
    }
    return false;
}

// depth first, each folder's entries in order, subfolders where they sort; a stack of our own, so
// a deep tree cannot exhaust the thread's
void Walk::folder(const fs::path &top) {
    struct Level {
        std::vector<os::Entry> entries;
        std::optional<os::FolderId> id;
        size_t next = 0;
    };
    std::vector<Level> stack(1);
    if (!enter(top, stack.back().entries, stack.back().id)) return;
    while (!stack.empty()) {
        Level &level = stack.back();
        if (level.next == level.entries.size()) {
            stack.pop_back();
            continue;
        }
        const os::Entry e = std::move(level.entries[level.next++]);
        switch (e.kind) {
        case os::Kind::file:
        case os::Kind::vanished: // listed, then gone: asked all the same, and its row says so
            file(e, level.id, false);
            break;
        case os::Kind::folder:
            if (rules_.recursive) {
                Level sub;
                if (enter(e.path, sub.entries, sub.id)) stack.push_back(std::move(sub));
            } else if (!hinted_ && holds_books(e.path)) {
                hinted_ = true;
                note_(named(top) + " has books in subfolders, which -r reads too");
            }
            break;
        case os::Kind::linked_folder: // not entered: a link to a parent would never end
        case os::Kind::other:         // a FIFO or device is no book, and reading one could wait forever
            break;
        }
    }
}

} // namespace walk
