// Eight host threads ask random fields of 200 books through both entry points while another thread
// replaces some books and deletes others. The request count is fixed, not the time. Afterwards every
// answer a thread got, and every value the cache holds, must come from one whole version of its file.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plugin_host.h"
#include "support.h"

namespace fs = std::filesystem;
using plugin_host::HostBuffer;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int requests_per_thread = 600;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int requests_per_thread = 600;
#else
constexpr int requests_per_thread = 3000;
#endif
#else
constexpr int requests_per_thread = 3000;
#endif
constexpr int thread_count = 8;
constexpr int file_count = 200;

enum class Kind { steady, broken, changing, vanishing };

Kind kind_of(int i) {
    if (i % 10 == 1) return Kind::broken;
    if (i % 10 == 2) return Kind::changing;
    if (i % 10 == 3) return Kind::vanishing;
    return Kind::steady;
}

// the five texts (genre, first, last, title, series) and the number of version v of book i, in UTF-8;
// the title carries a non-ASCII letter so that the ANSI entry converts something
struct Version {
    std::array<std::string, 5> text;
    int32_t number;
};

Version version(int i, int v) {
    const std::string tag = std::to_string(i) + "v" + std::to_string(v);
    return {{"genre" + tag, "first" + tag, "last" + tag, "title\xC3\xA9" + tag, "series" + tag}, i * 10 + v};
}

std::string fb2(const Version &v) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<FictionBook><description><title-info><genre>" + v.text[0] +
           "</genre><author><first-name>" + v.text[1] + "</first-name><last-name>" + v.text[2] +
           "</last-name></author><book-title>" + v.text[3] + "</book-title><sequence name=\"" + v.text[4] +
           "\" number=\"" + std::to_string(v.number) + "\"/></title-info></description><body><p>" +
           std::string(2000, 'x') + "</p></body></FictionBook>\n";
}

// one answer as the host saw it, in a form both entries share: the text in UTF-8, or the number
struct Seen {
    int file;
    int field;
    std::string value;
};

std::string number_text(const void *p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return std::to_string(v);
}

// the value from version v of book i, in the form Seen holds
std::string expected(int i, int v, int field) {
    const Version ver = version(i, v);
    return field == 5 ? std::to_string(ver.number) : ver.text[static_cast<size_t>(field)];
}

std::string narrow(const std::u16string &s) {
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

TEST(stress, threads_and_a_changing_folder_agree_with_one_version_per_file) {
    support::TempDir dir;
    std::vector<fs::path> paths;
    for (int i = 0; i < file_count; ++i) {
        paths.push_back(dir.path() / ("book" + std::to_string(i) + ".fb2"));
        const std::string bytes = kind_of(i) == Kind::broken ? "not a book " + std::to_string(i) : fb2(version(i, 0));
        dir.write(paths.back().filename().string(), bytes);
    }
    plugin_host::Library lib;

    support::StartGate start(thread_count + 1);
    std::atomic<int> done{0};
    std::vector<std::vector<Seen>> seen(thread_count);
    std::vector<std::string> faults[thread_count];
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            plugin_host::ThreadScope com;
            std::mt19937 rng(1234u + static_cast<unsigned>(t));
            std::uniform_int_distribution<int> file(0, file_count - 1), field(-1, 6), entry(0, 1), small(0, 3);
            const int32_t sizes[] = {512, 3, 1, 0};
            start.arrive_and_wait();
            for (int r = 0; r < requests_per_thread; ++r) {
                const int i = file(rng), f = field(rng);
                // mostly room for everything, now and then a size that fits no value
                const int32_t size = small(rng) == 0 ? sizes[small(rng)] : 512;
                HostBuffer buf(size);
                int32_t result;
                std::optional<std::string> value; // a whole answer, in UTF-8 or as a number's digits
                if (entry(rng) == 0) {
                    const auto name = plugin_host::wide_name(paths[static_cast<size_t>(i)]);
                    result = lib.ContentGetValueW(name.c_str(), f, 0, buf.data(), size, 0);
                    if (result == fld_widestring) value = narrow(reinterpret_cast<const char16_t *>(buf.data()));
                    else if (result == fld_numeric32) value = number_text(buf.data());
                    else if (result != fld_empty) faults[t].push_back("wide result " + std::to_string(result));
                } else {
                    const auto name = plugin_host::ansi_name(paths[static_cast<size_t>(i)]);
                    result = lib.ContentGetValue(name.c_str(), f, 0, buf.data(), size, 0);
                    if (result == fld_string) value = std::string(buf.chars());
                    else if (result == fld_numeric32) value = number_text(buf.data());
                    else if (result != fld_empty) faults[t].push_back("ANSI result " + std::to_string(result));
                }
                if (!buf.guards_intact()) faults[t].push_back("a write outside the buffer");
                if (result == fld_empty && !buf.untouched()) faults[t].push_back("an empty answer wrote");
                // a cut answer is a prefix, not a value: keep only whole ones
                if (value && size == 512) seen[t].push_back({i, f, *value});
            }
            ++done;
        });
    }

    // the folder changes under the readers: books are replaced whole (rename) or deleted
    std::set<int> deleted;
    start.arrive_and_wait();
    for (int round = 1; done.load() < thread_count; ++round) {
        for (int i = 0; i < file_count; ++i) {
            if (kind_of(i) == Kind::changing) {
                const fs::path tmp = dir.write("next.tmp", fb2(version(i, round % 2)));
                fs::rename(tmp, paths[static_cast<size_t>(i)]);
            } else if (kind_of(i) == Kind::vanishing && i / 10 == round && !deleted.count(i)) {
                fs::remove(paths[static_cast<size_t>(i)]);
                deleted.insert(i);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < thread_count; ++t)
        for (const auto &f : faults[t]) ADD_FAILURE() << "thread " << t << ": " << f;

    // what the cache holds now, one thread, all six fields
    std::map<int, std::array<std::optional<std::string>, 6>> cached;
    for (int i = 0; i < file_count; ++i) {
        const auto name = plugin_host::wide_name(paths[static_cast<size_t>(i)]);
        for (int f = 0; f < 6; ++f) {
            HostBuffer buf(512);
            const int32_t r = lib.ContentGetValueW(name.c_str(), f, 0, buf.data(), 512, 0);
            if (r == fld_widestring)
                cached[i][static_cast<size_t>(f)] = narrow(reinterpret_cast<const char16_t *>(buf.data()));
            else if (r == fld_numeric32) cached[i][static_cast<size_t>(f)] = number_text(buf.data());
        }
    }
    for (int i = 0; i < file_count; ++i) {
        SCOPED_TRACE(testing::Message() << "book " << i);
        const auto &c = cached[i];
        switch (kind_of(i)) {
        case Kind::broken:
            for (const auto &v : c) EXPECT_FALSE(v.has_value());
            break;
        case Kind::vanishing:
            // gone before anyone asked: nothing; otherwise its one version
            if (!c[3]) {
                for (const auto &v : c) EXPECT_FALSE(v.has_value());
                break;
            }
            [[fallthrough]];
        case Kind::steady:
        case Kind::changing: {
            // all six from one version
            int matched = 0;
            for (int v = 0; v < 2; ++v) {
                bool all = true;
                for (int f = 0; f < 6; ++f) all = all && c[static_cast<size_t>(f)] == expected(i, v, f);
                matched += all;
            }
            EXPECT_EQ(matched, 1);
            if (kind_of(i) != Kind::changing) {
                for (int f = 0; f < 6; ++f) EXPECT_EQ(c[static_cast<size_t>(f)], expected(i, 0, f));
            }
            break;
        }
        }
    }
    // and every whole answer any thread got is the cached one
    size_t answers = 0;
    for (const auto &list : seen) {
        for (const Seen &s : list) {
            ++answers;
            ASSERT_TRUE(s.field >= 0 && s.field < 6) << "a value for field " << s.field;
            const auto &c = cached[s.file][static_cast<size_t>(s.field)];
            EXPECT_TRUE(c.has_value() && *c == s.value)
                << "book " << s.file << " field " << s.field << ": a thread saw " << s.value << ", the cache holds "
                << c.value_or("nothing");
        }
    }
    EXPECT_GT(answers, static_cast<size_t>(thread_count * requests_per_thread / 2));
}

} // namespace
