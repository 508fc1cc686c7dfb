// Files a user can put in front of the file manager: special files under a book's name, files that change
// while they are read, huge or sparse files, entity bombs, references to other files and hosts, broken
// encodings. Every read runs on a thread of its own with a deadline, so a hang fails the test instead of
// the suite; each case goes through FB2TitleInfo and through the loaded library.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FB2_Info.h"
#include "differential.h"
#include "error.h"
#include "plugin_host.h"
#include "support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plugin_host::HostBuffer;

namespace {

// long enough for a loaded machine and a sanitized build, short enough that a hang fails instead of stalling;
// the big books get more
constexpr auto deadline = 20s;
constexpr auto big_deadline = 180s;

// Runs f on a thread of its own and returns what it gives. One that has not returned in time fails
// its test and ends the program there: left running, it would go on into later tests.
template <class F> auto within(std::chrono::milliseconds limit, const std::string &what, F f) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
    auto result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (result.wait_for(limit) != std::future_status::ready) {
        const auto *test = testing::UnitTest::GetInstance()->current_test_info();
        std::fprintf(stderr, "[  FAILED  ] %s.%s: %s did not return in %lld ms; ending the program\n",
                     test ? test->test_suite_name() : "?", test ? test->name() : "?", what.c_str(),
                     static_cast<long long>(limit.count()));
        std::fflush(nullptr);
        std::_Exit(EXIT_FAILURE);
    }
    return result.get();
}

// loaded once and never unloaded: a read left hanging must not find its code unmapped
plugin_host::Library &library() {
    static auto *lib = new plugin_host::Library();
    return *lib;
}

// ---- what a read gives

struct Read {
    bool ok = false;
    std::string error;
    std::array<std::u16string, ContentFieldCount> text; // type 11 rows without their NUL
    std::array<bool, ContentFieldCount> has{};
    std::optional<int32_t> number;
};

std::u16string units(std::span<const std::byte> b) {
    std::u16string s(b.size() / 2, u'\0');
    for (size_t k = 0; k < s.size(); ++k)
        s[k] = static_cast<char16_t>(std::to_integer<unsigned>(b[2 * k]) | std::to_integer<unsigned>(b[2 * k + 1]) << 8);
    return s;
}

Read read_book(const fs::path &p) {
    Read r;
    try {
        FB2TitleInfo info(support::wide(p));
        r.ok = true;
        for (int32_t i = 0; i < ContentFieldCount; ++i) {
            const auto block = info.GetFieldData(i);
            r.has[i] = !block.empty();
            if (block.empty()) continue;
            if (i == 5) {
                int32_t v;
                std::memcpy(&v, block.data(), 4);
                r.number = v;
            } else {
                r.text[i] = units(block.first(block.size() - 2));
            }
        }
    } catch (const ReadError &e) {
        r.error = e.what();
    }
    return r;
}

// the reader with a deadline
Read read_in_time(const fs::path &p, std::chrono::milliseconds limit = deadline) {
    return within(limit, "reading " + p.string(), [p] { return read_book(p); });
}

struct Reply {
    int32_t result = 0;
    std::vector<std::byte> head; // the buffer's first bytes, as written
    bool guards = true;
    bool untouched = true;
};

enum class Entry { wide, ansi };

Reply ask(Entry e, const fs::path &p, int32_t field, int32_t size = 256,
          std::chrono::milliseconds limit = deadline) {
    const Reply reply = within(limit, "asking the library about " + p.string(), [=] {
        HostBuffer buf(size);
        plugin_host::Library &lib = library();
        Reply r;
        if (e == Entry::wide) {
            const auto name = plugin_host::wide_name(p);
            r.result = lib.ContentGetValueW(name.c_str(), field, 0, buf.data(), size, 0);
        } else {
            const auto name = plugin_host::ansi_name(p);
            r.result = lib.ContentGetValue(name.c_str(), field, 0, buf.data(), size, 0);
        }
        r.head = buf.head(static_cast<size_t>(std::max(size, 0)));
        r.guards = buf.guards_intact();
        r.untouched = buf.untouched();
        return r;
    });
    EXPECT_TRUE(reply.guards) << "a write outside the host's buffer";
    return reply;
}

// the library's view of a file that cannot be read: the fields empty through both entries, nothing written
// (a failed read is not cached, so every request reads the file again)
void expect_library_refuses(const fs::path &p, std::initializer_list<int32_t> fields = {0, 1, 2, 3, 4, 5}) {
    for (Entry e : {Entry::wide, Entry::ansi}) {
        for (int32_t field : fields) {
            SCOPED_TRACE(testing::Message() << (e == Entry::wide ? "wide" : "ansi") << " field " << field);
            const Reply r = ask(e, p, field);
            EXPECT_EQ(r.result, fld_empty);
            EXPECT_TRUE(r.untouched);
        }
    }
}

std::u16string wide_text(const Reply &r) {
    std::u16string s = units(r.head);
    return s.substr(0, s.find(u'\0'));
}

std::string ansi_text(const Reply &r) {
    std::string s(reinterpret_cast<const char *>(r.head.data()), r.head.size());
    return s.substr(0, s.find('\0'));
}

// ---- books

const std::string standard_info = "<genre>sf</genre><author><first-name>Ann</first-name><last-name>Lee</last-name>"
                                  "</author><book-title>Tide</book-title><sequence name=\"Sea\" number=\"3\"/>";

std::string book(const std::string &title_info = standard_info, const std::string &body = "<body><p>x</p></body>",
                 const std::string &prolog = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") {
    return prolog + "<FictionBook><description><title-info>" + title_info + "</title-info></description>" + body +
           "</FictionBook>\n";
}

void expect_standard(const Read &r) {
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.text[0], u"sf");
    EXPECT_EQ(r.text[1], u"Ann");
    EXPECT_EQ(r.text[2], u"Lee");
    EXPECT_EQ(r.text[3], u"Tide");
    EXPECT_EQ(r.text[4], u"Sea");
    EXPECT_EQ(r.number, 3);
}

std::string repeat(std::string_view s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

long status_kb(const char *key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0 && line[n] == ':') return std::stol(line.substr(n + 1));
    return -1;
}

// ---- special files

struct Special {
    const char *label;
    // makes the special file at the path (or names an existing one) and returns the path to read
    std::function<fs::path(const fs::path &dir, std::vector<std::function<void()>> &cleanup)> make;
};

TEST(hostile_files, special_files_fail_at_once) {
    const Special rows[] = {
        {"a FIFO nobody writes",
         [](const fs::path &dir, auto &) {
             const fs::path p = dir / "x.fb2";
             if (::mkfifo(p.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
             return p;
         }},
        {"a FIFO that holds a whole book and stays open",
         [](const fs::path &dir, auto &cleanup) {
             const fs::path p = dir / "x.fb2";
             if (::mkfifo(p.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
             // read-write: the open never waits, and a write never meets a pipe without readers
             const int fd = ::open(p.c_str(), O_RDWR | O_CLOEXEC);
             const std::string b = book();
             if (fd < 0 || ::write(fd, b.data(), b.size()) != static_cast<ssize_t>(b.size()))
                 throw std::runtime_error("fifo writer");
             cleanup.push_back([fd] { ::close(fd); });
             return p;
         }},
        {"a directory",
         [](const fs::path &dir, auto &) {
             const fs::path p = dir / "x.fb2";
             fs::create_directory(p);
             return p;
         }},
        {"a listening socket",
         [](const fs::path &dir, auto &cleanup) {
             const fs::path p = dir / "x.fb2";
             const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un addr{};
             addr.sun_family = AF_UNIX;
             std::strncpy(addr.sun_path, p.c_str(), sizeof addr.sun_path - 1);
             if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0)
                 throw std::runtime_error("socket");
             cleanup.push_back([fd] { ::close(fd); });
             return p;
         }},
        {"/dev/zero", [](const fs::path &, auto &) { return fs::path("/dev/zero"); }},
        {"/dev/urandom", [](const fs::path &, auto &) { return fs::path("/dev/urandom"); }},
        {"/dev/null", [](const fs::path &, auto &) { return fs::path("/dev/null"); }},
        {"a symbolic link to /dev/zero",
         [](const fs::path &dir, auto &) {
             const fs::path p = dir / "x.fb2";
             fs::create_symlink("/dev/zero", p);
             return p;
         }},
    };
    for (const Special &row : rows) {
        SCOPED_TRACE(row.label);
        support::TempDir dir;
        std::vector<std::function<void()>> cleanup;
        const fs::path p = row.make(dir.path(), cleanup);
        const Read r = read_in_time(p);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error, "");
        expect_library_refuses(p);
        for (auto &c : cleanup) c();
    }
}

// ---- files that change

// Comments after the root element keep the document well-formed at every length that ends on a whole one;
// each is 64 bytes and written with one call, so no read can see half of one.
const std::string tail_comment = "<!--" + std::string(56, '.') + "-->\n";

struct Growth {
    const char *label;
    size_t start_comments; // comments already there when the reads begin
};

TEST(hostile_files, growing_file_reads_what_was_there) {
    const Growth rows[] = {
        {"small enough to be read whole", 0},
        {"big enough to be read in pieces", (17u << 20) / 64},
    };
    for (const Growth &row : rows) {
        SCOPED_TRACE(row.label);
        support::TempDir dir;
        std::string head = book();
        head += std::string(64 - head.size() % 64 - 1, ' ') + "\n"; // whole comments stay 64-byte aligned
        const fs::path p = dir.write("grow.fb2", head + repeat(tail_comment, row.start_comments));

        std::atomic<bool> stop{false};
        std::thread writer([&] {
            // as fast as it goes, up to 64 MiB more
            const int fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            for (size_t k = 0; fd >= 0 && !stop.load() && k < (64u << 20) / 64; ++k)
                if (::write(fd, tail_comment.data(), tail_comment.size()) < 0) break;
            if (fd >= 0) ::close(fd);
        });
        for (int round = 0; round < 3; ++round) expect_standard(read_in_time(p, big_deadline));
        const Reply w = ask(Entry::wide, p, 3, 256, big_deadline);
        EXPECT_EQ(w.result, fld_widestring);
        EXPECT_EQ(wide_text(w), u"Tide");
        stop = true;
        writer.join();
    }
}

TEST(hostile_files, deleted_file_keeps_its_cached_values) {
    support::TempDir dir;
    const fs::path p = dir.write("gone.fb2", book());
    const Reply before = ask(Entry::wide, p, 3);
    ASSERT_EQ(before.result, fld_widestring);
    fs::remove(p);

    EXPECT_FALSE(read_in_time(p).ok) << "the file is gone for a new reader";
    const std::u16string wide_want[] = {u"sf", u"Ann", u"Lee", u"Tide", u"Sea"};
    const std::string ansi_want[] = {"sf", "Ann", "Lee", "Tide", "Sea"};
    for (int32_t field = 0; field < 5; ++field) {
        SCOPED_TRACE(field);
        const Reply w = ask(Entry::wide, p, field);
        EXPECT_EQ(w.result, fld_widestring);
        EXPECT_EQ(wide_text(w), wide_want[field]);
        const Reply a = ask(Entry::ansi, p, field);
        EXPECT_EQ(a.result, fld_string);
        EXPECT_EQ(ansi_text(a), ansi_want[field]);
    }
    const Reply n = ask(Entry::wide, p, 5);
    EXPECT_EQ(n.result, fld_numeric32);
    EXPECT_EQ(n.head[0], std::byte{3});
}

// ---- size

struct Measured {
    bool ok = false;
    long rss_growth_kb = -1;
    double seconds = -1;
};

// Runs the read in a child process, so that its peak resident set is its own and not the suite's.
std::optional<Measured> measure_in_child(const std::function<bool()> &read) {
    int fds[2];
    if (::pipe(fds) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(60); // the parent gives up sooner; this only keeps a stray child from living on
        Measured m;
        const long before = status_kb("VmRSS");
        const auto t0 = std::chrono::steady_clock::now();
        m.ok = read();
        m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        m.rss_growth_kb = status_kb("VmHWM") - before;
        const bool sent = ::write(fds[1], &m, sizeof m) == static_cast<ssize_t>(sizeof m);
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    pollfd pfd{fds[0], POLLIN, 0};
    Measured m;
    const bool got = ::poll(&pfd, 1, 30000) == 1 && ::read(fds[0], &m, sizeof m) == static_cast<ssize_t>(sizeof m);
    ::close(fds[0]);
    if (!got) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!got) return std::nullopt;
    return m;
}

TEST(hostile_files, sparse_gigabyte_file_is_bounded_in_time_and_memory) {
    support::TempDir dir;
    const fs::path p = dir.write("sparse.fb2", book(standard_info, "<body><p>"));
    ASSERT_EQ(::truncate(p.c_str(), 1l << 30), 0);
    library(); // loaded before the fork, so the child measures the read and not the load

    struct Way {
        const char *label;
        std::function<bool()> read;
    };
    const Way ways[] = {
        {"FB2TitleInfo", [&] { return read_book(p).ok; }},
        {"ContentGetValueW",
         [&] {
             HostBuffer buf(256);
             const auto name = plugin_host::wide_name(p);
             return library().ContentGetValueW(name.c_str(), 3, 0, buf.data(), 256, 0) != fld_empty;
         }},
    };
    for (const Way &way : ways) {
        SCOPED_TRACE(way.label);
        const auto m = measure_in_child(way.read);
        ASSERT_TRUE(m) << "the read did not finish in 30 s";
        EXPECT_FALSE(m->ok) << "NUL bytes follow the head: not a well-formed document";
        EXPECT_LT(m->rss_growth_kb, 64 * 1024) << "peak resident set grew by " << m->rss_growth_kb << " kB";
        std::printf("[ measured ] %s: 1 GiB sparse file refused in %.3f s, peak RSS +%ld kB\n", way.label, m->seconds,
                    m->rss_growth_kb);
    }
}

// ---- structure

struct Shape {
    const char *label;
    std::string doc;
    std::function<void(const Read &)> check;
};

TEST(hostile_files, deep_nesting_and_many_attributes) {
    constexpr size_t n = 100000;
    const std::string deep = repeat("<x>", n) + "text" + repeat("</x>", n);
    std::string attrs;
    for (size_t i = 0; i < n; ++i) attrs += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";

    const Shape rows[] = {
        {"100,000 levels inside title-info, before the values", book(deep + standard_info), expect_standard},
        {"100,000 levels in the body", book(standard_info, "<body>" + deep + "</body>"), expect_standard},
        {"100,000 nested title-info elements around a title",
         book(repeat("<title-info>", n) + "<book-title>inner</book-title>" + repeat("</title-info>", n) +
              standard_info),
         expect_standard},
        {"100,000 nested book-title elements",
         book(repeat("<book-title>", n) + "t" + repeat("</book-title>", n)),
         [](const Read &r) {
             // the first child of the outer title is an element: it has no text value
             EXPECT_FALSE(r.ok);
         }},
        {"100,000 attributes on the sequence, name and number last",
         book("<book-title>Tide</book-title><sequence" + attrs + " name=\"Sea\" number=\"3\"/>"),
         [](const Read &r) {
             ASSERT_TRUE(r.ok) << r.error;
             EXPECT_EQ(r.text[4], u"Sea");
             EXPECT_EQ(r.number, 3);
         }},
        {"100,000 attributes on the root",
         "<FictionBook" + attrs + "><description><title-info>" + standard_info +
             "</title-info></description></FictionBook>",
         expect_standard},
    };
    for (const Shape &row : rows) {
        SCOPED_TRACE(row.label);
        support::TempDir dir;
        const fs::path p = dir.write("shape.fb2", row.doc);
        row.check(read_in_time(p, big_deadline));
        const Reply w = ask(Entry::wide, p, 3, 256, big_deadline);
        EXPECT_TRUE(w.result == fld_widestring || w.result == fld_empty);
    }
}

// ---- entities

std::string laughs(int levels, const std::string &use) {
    std::string dtd = "<!DOCTYPE FictionBook [\n<!ENTITY l0 \"lol\">\n";
    for (int i = 1; i <= levels; ++i) {
        dtd += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) dtd += "&l" + std::to_string(i - 1) + ";";
        dtd += "\">\n";
    }
    return "<?xml version=\"1.0\"?>\n" + dtd + "]>\n<FictionBook><description><title-info>" + use +
           "</title-info></description></FictionBook>\n";
}

TEST(hostile_files, entity_bombs_fail_quickly) {
    const std::string big(100000, 'a');
    const Shape rows[] = {
        {"a billion laughs in the title", laughs(9, "<book-title>&l9;</book-title>"), {}},
        {"a billion laughs in an element nobody asks about", laughs(9, "<annotation>&l9;</annotation>"), {}},
        {"a billion laughs in an attribute", laughs(9, "<sequence name=\"&l9;\" number=\"1\"/>"), {}},
        {"a billion laughs in an attribute nobody asks about", laughs(9, "<lang value=\"&l9;\"/>"), {}},
        {"a 100 kB entity used 100,000 times",
         "<!DOCTYPE FictionBook [<!ENTITY a \"" + big + "\">]>\n<FictionBook><description><title-info><book-title>" +
             repeat("&a;", 100000) + "</book-title></title-info></description></FictionBook>\n",
         {}},
    };
    for (const Shape &row : rows) {
        SCOPED_TRACE(row.label);
        support::TempDir dir;
        const fs::path p = dir.write("bomb.fb2", row.doc);
        const auto t0 = std::chrono::steady_clock::now();
        const Read r = read_in_time(p, big_deadline);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error, "");
        std::printf("[ measured ] %s: refused in %.3f s (%s)\n", row.label, seconds, r.error.c_str());
        expect_library_refuses(p, {3});
    }
}

// Watches a folder for any open of the named files, and a local port for any connection.
class Witness {
public:
    explicit Witness(const fs::path &dir) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0 || ::inotify_add_watch(fd_, dir.c_str(), IN_OPEN | IN_ACCESS) < 0)
            throw std::runtime_error("inotify");
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
            ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            throw std::runtime_error("listener");
        port_ = ntohs(addr.sin_port);
    }
    ~Witness() {
        ::close(fd_);
        ::close(listener_);
    }
    int port() const { return port_; }

    // names opened since the last call, among those given
    std::vector<std::string> opened(const std::vector<std::string> &watched) {
        std::vector<std::string> seen;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) break;
            for (char *at = buf; at < buf + n;) {
                const auto *ev = reinterpret_cast<const inotify_event *>(at);
                const std::string name = ev->len ? ev->name : "";
                for (const auto &w : watched)
                    if (name == w) seen.push_back(name);
                at += sizeof(inotify_event) + ev->len;
            }
        }
        return seen;
    }
    // a connection waits to be accepted: somebody tried the port
    bool connected() {
        const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return false;
        ::close(c);
        return true;
    }

private:
    int fd_ = -1;
    int listener_ = -1;
    int port_ = 0;
};

TEST(hostile_files, external_references_are_never_followed) {
    support::TempDir dir;
    // targets that would change the answer if they were read
    const fs::path dtd = dir.write("ext.dtd", "<!ENTITY t \"LOADED\"><!ATTLIST sequence number CDATA \"99\">");
    const fs::path text = dir.write("ent.txt", "LOADED");
    const std::vector<std::string> targets = {"ext.dtd", "ent.txt"};
    Witness witness(dir.path());
    const std::string url = "http://127.0.0.1:" + std::to_string(witness.port());

    struct Ref {
        std::string label;
        std::string prolog;
        std::string title; // the book-title's content
        bool well_formed;  // the book parses without the reference's target
    };
    const std::string decl = "<?xml version=\"1.0\" standalone=\"no\"?>\n";
    const Ref rows[] = {
        {"DTD by file URL", decl + "<!DOCTYPE FictionBook SYSTEM \"file://" + dtd.string() + "\">\n", "Tide", true},
        {"DTD by absolute path", decl + "<!DOCTYPE FictionBook SYSTEM \"" + dtd.string() + "\">\n", "Tide", true},
        {"DTD by relative path", decl + "<!DOCTYPE FictionBook SYSTEM \"ext.dtd\">\n", "Tide", true},
        {"DTD by public and system id",
         decl + "<!DOCTYPE FictionBook PUBLIC \"-//tovrel//x//EN\" \"ext.dtd\">\n", "Tide", true},
        {"DTD by URL", decl + "<!DOCTYPE FictionBook SYSTEM \"" + url + "/ext.dtd\">\n", "Tide", true},
        {"DTD entity used in the title", decl + "<!DOCTYPE FictionBook SYSTEM \"" + dtd.string() + "\">\n", "&t;",
         true},
        {"parameter entity by path",
         decl + "<!DOCTYPE FictionBook [<!ENTITY % p SYSTEM \"" + dtd.string() + "\">%p;]>\n", "Tide", true},
        {"parameter entity by URL", decl + "<!DOCTYPE FictionBook [<!ENTITY % p SYSTEM \"" + url + "/p\">%p;]>\n",
         "Tide", true},
        {"general entity by file URL in the title",
         decl + "<!DOCTYPE FictionBook [<!ENTITY e SYSTEM \"file://" + text.string() + "\">]>\n", "&e;", true},
        {"general entity by path in the title",
         decl + "<!DOCTYPE FictionBook [<!ENTITY e SYSTEM \"" + text.string() + "\">]>\n", "&e;", true},
        {"general entity by URL in the title",
         decl + "<!DOCTYPE FictionBook [<!ENTITY e SYSTEM \"" + url + "/e\">]>\n", "&e;", true},
        {"general entity by path in a text nobody asks about",
         decl + "<!DOCTYPE FictionBook [<!ENTITY e SYSTEM \"" + text.string() + "\">]>\n", "Tide&e;", true},
    };
    for (const Ref &row : rows) {
        SCOPED_TRACE(row.label);
        const fs::path p = dir.write("refs.fb2", book("<book-title>" + row.title + "</book-title>" +
                                                          "<sequence name=\"Sea\"/>",
                                                      "", row.prolog));
        witness.opened(targets); // forget the writes above
        const Read r = read_in_time(p);
        if (r.ok) {
            EXPECT_NE(r.text[3], u"LOADED");
            EXPECT_FALSE(r.number.has_value()) << "a default attribute came from the external DTD";
        }
        if (row.title == "Tide") {
            EXPECT_TRUE(r.ok) << r.error;
            EXPECT_EQ(r.text[3], u"Tide");
        }
        for (int32_t field : {3, 5}) {
            const Reply w = ask(Entry::wide, p, field);
            EXPECT_NE(wide_text(w), u"LOADED");
            if (field == 5) {
                EXPECT_EQ(w.result, fld_empty);
            }
        }
        EXPECT_EQ(witness.opened(targets), std::vector<std::string>{});
        EXPECT_FALSE(witness.connected()) << "somebody connected to " << url;
        library().reload(); // the next row reuses the file name: start with an empty cache
    }
}

// ---- text

struct Bytes {
    const char *label;
    std::string doc;
    std::optional<std::u16string> title; // the title when the read must succeed
};

std::string utf16le(std::string_view ascii_with_escapes) {
    std::string out;
    for (char c : ascii_with_escapes) {
        out += c;
        out += '\0';
    }
    return out;
}

TEST(hostile_files, broken_and_lying_encodings) {
    const auto titled = [](const std::string &t, const std::string &prolog = "") {
        return prolog + "<FictionBook><description><title-info><book-title>" + t +
               "</book-title></title-info></description></FictionBook>\n";
    };
    const std::string le_head = utf16le("<FictionBook><description><title-info><book-title>");
    const std::string le_tail = utf16le("</book-title></title-info></description></FictionBook>");
    const std::string bom = "\xFF\xFE";
    const Bytes rows[] = {
        // UTF-8
        {"UTF-8 encoded surrogate", titled("a\xED\xA0\x80z"), {}},
        {"UTF-8 sequence cut before markup", titled("a\xD0"), {}},
        {"UTF-8 sequence cut at the end of the file", titled("a") + "\xE2\x82", {}},
        {"UTF-8 overlong slash", titled("a\xC0\xAFz"), {}},
        {"UTF-8 beyond U+10FFFF", titled("a\xF4\x90\x80\x80z"), {}},
        {"byte FF in UTF-8", titled("a\xFFz"), {}},
        // UTF-16
        {"UTF-16 lone high surrogate", bom + le_head + std::string("a\0\x00\xD8z\0", 6) + le_tail, {}},
        {"UTF-16 lone low surrogate", bom + le_head + std::string("a\0\x00\xDCz\0", 6) + le_tail, {}},
        {"UTF-16 high surrogate right before markup", bom + le_head + std::string("\x3D\xD8", 2) + le_tail, {}},
        {"UTF-16 odd byte count", bom + le_head + "T" + std::string("\0", 1) + le_tail + "<", {}},
        {"UTF-16 pair", bom + le_head + std::string("\x3D\xD8\xD6\xDC", 4) + le_tail, u"\U0001F4D6"},
        // declarations that lie
        {"declared UTF-16, written in UTF-8", titled("T", "<?xml version=\"1.0\" encoding=\"UTF-16\"?>"), {}},
        {"declared windows-1251, written in UTF-8",
         titled("\xD0\xA2", "<?xml version=\"1.0\" encoding=\"windows-1251\"?>"), u"\u0420\u045E"},
        {"declared ISO-8859-1, written in UTF-8",
         titled("\xD0\xA2", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"), u"\u00D0\u00A2"},
        {"declared UTF-8, written in windows-1251",
         titled("\xD2\xE8\xF5", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"), {}},
        {"declared koi8-r, through the converter", titled("\xF4", "<?xml version=\"1.0\" encoding=\"koi8-r\"?>"),
         u"\u0422"},
        {"declared an encoding nobody knows", titled("T", "<?xml version=\"1.0\" encoding=\"x-tovrel-none\"?>"), {}},
        // NUL
        {"NUL in the title", titled(std::string("a\0b", 3)), {}},
        {"NUL in an attribute",
         "<FictionBook><description><title-info><sequence name=\"" + std::string("a\0b", 3) +
             "\"/></title-info></description></FictionBook>",
         {}},
        {"NUL in a comment", titled("T") + std::string("<!--\0-->", 8), {}},
        {"NUL after the root", titled("T") + std::string("\0", 1), {}},
        {"NUL first", std::string("\0", 1) + titled("T"), {}},
    };
    for (const Bytes &row : rows) {
        SCOPED_TRACE(row.label);
        support::TempDir dir;
        const fs::path p = dir.write("text.fb2", row.doc);
        const Read r = read_in_time(p);
        const Reply w = ask(Entry::wide, p, 3);
        support::record(std::string(row.label) + "\t" + (r.ok ? "reads" : "fails: " + r.error));
        differential::expect_filter_changes_nothing(p, row.doc, {0, 1, 3});
        if (row.title) {
            ASSERT_TRUE(r.ok) << r.error;
            EXPECT_EQ(r.text[3], *row.title);
            EXPECT_EQ(w.result, fld_widestring);
            EXPECT_EQ(wide_text(w), *row.title);
        } else {
            EXPECT_FALSE(r.ok) << "read a title of " << r.text[3].size() << " units";
            EXPECT_NE(r.error, "");
            EXPECT_EQ(w.result, fld_empty);
            EXPECT_TRUE(w.untouched);
        }
    }
}

TEST(hostile_files, ten_megabyte_title) {
    constexpr size_t n = 10u << 20;
    struct Title {
        const char *label;
        std::string utf8;
        std::u16string text;
    };
    std::string ascii(n, ' ');
    std::u16string ascii_text(n, u' ');
    for (size_t i = 0; i < n; ++i) ascii_text[i] = ascii[i] = static_cast<char>('a' + i % 26);
    // astral characters: two units and four UTF-8 bytes each
    std::string astral;
    std::u16string astral_text;
    for (size_t i = 0; i < n / 4; ++i) {
        astral += "\xF0\x9F\x93\x96";
        astral_text += u"\U0001F4D6";
    }
    const Title titles[] = {{"ASCII", ascii, ascii_text}, {"astral", astral, astral_text}};
    for (const Title &t : titles) {
        SCOPED_TRACE(t.label);
        support::TempDir dir;
        const fs::path p = dir.write("long.fb2", book("<book-title>" + t.utf8 + "</book-title>"));
        const Read r = read_in_time(p, big_deadline);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_TRUE(r.text[3] == t.text) << "came back with " << r.text[3].size() << " units";

        const size_t units = t.text.size();
        const bool pairs = t.text[0] >= 0xD800;
        const int32_t whole = static_cast<int32_t>(2 * units + 2);
        struct Row {
            const char *label;
            int32_t size;
            size_t wide_units; // before the NUL
        };
        // an odd room would end on the first half of a pair: one unit less
        const Row rows[] = {
            {"1 kB", 1024, pairs ? 510u : 511u},
            {"odd", 1025, pairs ? 510u : 511u},
            {"one byte short", whole - 1, units - (pairs ? 2 : 1)},
            {"exact", whole, units},
            {"roomy", whole + 4096, units},
        };
        for (const Row &row : rows) {
            SCOPED_TRACE(row.label);
            const Reply w = ask(Entry::wide, p, 3, row.size, big_deadline);
            ASSERT_EQ(w.result, fld_widestring);
            const std::u16string got = wide_text(w);
            EXPECT_EQ(got.size(), row.wide_units);
            EXPECT_TRUE(got == t.text.substr(0, row.wide_units));
            const Reply a = ask(Entry::ansi, p, 3, row.size, big_deadline);
            ASSERT_EQ(a.result, fld_string);
            const std::string narrow = ansi_text(a);
            // the wide cut, narrowed, then cut to size - 1 bytes on a character boundary
            const size_t chars = pairs ? row.wide_units / 2 : row.wide_units;
            const size_t width = pairs ? 4 : 1;
            const size_t fit = std::min(chars, static_cast<size_t>(row.size - 1) / width);
            EXPECT_EQ(narrow.size(), fit * width);
            EXPECT_TRUE(narrow == t.utf8.substr(0, fit * width));
        }
    }
}

} // namespace

namespace {

// a read left hanging must end the program, not run on into the tests after it
TEST(hostile_files_deadline, an_overrunning_read_ends_the_program) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(within(std::chrono::milliseconds(50), "sleeping",
                       [] {
                           std::this_thread::sleep_for(std::chrono::seconds(30));
                           return 0;
                       }),
                testing::ExitedWithCode(EXIT_FAILURE), "sleeping did not return in 50 ms");
    EXPECT_EQ(within(std::chrono::seconds(5), "adding", [] { return 2 + 2; }), 4);
}

// two processes making scratch folders at the same moment never share one
TEST(hostile_files_deadline, scratch_folders_of_two_processes_stay_apart) {
    constexpr int folders = 200;
    const auto make = [] {
        std::vector<std::unique_ptr<support::TempDir>> dirs;
        for (int i = 0; i < folders; ++i) {
            dirs.push_back(std::make_unique<support::TempDir>());
            dirs.back()->write("owner-" + std::to_string(getpid()), "");
        }
        bool alone = true;
        for (const auto &d : dirs)
            alone = alone && std::distance(fs::directory_iterator(d->path()), fs::directory_iterator()) == 1;
        return alone;
    };
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) std::_Exit(make() ? 0 : 1);
    EXPECT_TRUE(make()) << "a folder of this process holds another's file";
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a folder of the child holds another's file";
}

} // namespace
