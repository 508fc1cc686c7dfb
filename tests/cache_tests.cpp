// TitleCache in the test's own process: one record per name however threads race, nothing stored for a
// failed read, records that never move; and the entry points before, between and after module start and stop.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FB2_Content.h"
#include "plugin_host.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

// the Windows reader needs COM on every thread that reads, the main one included
[[maybe_unused]] testing::Environment *const main_thread =
    testing::AddGlobalTestEnvironment(new plugin_host::MainThread);

std::string book(const std::string &title) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FictionBook><description><title-info><genre>sf</genre>"
           "<book-title>" + title + "</book-title><sequence name=\"S\" number=\"4\"/></title-info></description>"
           "</FictionBook>\n";
}

// the stored title of a record, as text
std::string title_of(const FB2TitleInfo &info) {
    const auto block = info.GetFieldData(3);
    std::string out;
    for (size_t k = 0; k + 1 < block.size(); k += 2)
        if (block[k] != std::byte{0} || block[k + 1] != std::byte{0})
            out += static_cast<char>(std::to_integer<unsigned>(block[k]));
    return out;
}

const char *const failing[] = {
    "not a book",
    "",
    "<FictionBook><description><title-info><sequence number=\"3a\"/></title-info></description></FictionBook>",
    "<FictionBook><description><title-info><book-title><b>x</b></book-title></title-info></description>",
};

// runs body(thread) on `threads` threads released together
template <class Body> void race(int threads, Body body) {
    support::StartGate start(threads);
    std::vector<std::jthread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            plugin_host::ThreadScope com;
            start.arrive_and_wait();
            body(t);
        });
    }
}

} // namespace

TEST(title_cache, racing_threads_keep_one_record_per_name) {
    constexpr int threads = 8, names = 40, rounds = 40;
    support::TempDir dir;
    std::vector<std::u16string> keys;
    for (int i = 0; i < names; ++i)
        keys.push_back(support::wide(dir.write("r" + std::to_string(i) + ".fb2", book("T" + std::to_string(i)))));

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TitleCache cache;
        std::vector<std::vector<const FB2TitleInfo *>> seen(threads, std::vector<const FB2TitleInfo *>(names));
        race(threads, [&](int t) {
            // most threads walk in step and so miss on the same new names together; a few come the other way
            for (int k = 0; k < names; ++k) {
                const int i = t % 4 == 3 ? names - 1 - k : k;
                seen[t][i] = &cache.lookup_or_create(keys[i]);
            }
        });
        EXPECT_EQ(cache.size(), static_cast<size_t>(names));
        for (int i = 0; i < names; ++i) {
            SCOPED_TRACE("name " + std::to_string(i));
            for (int t = 1; t < threads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]) << "thread " << t;
            EXPECT_EQ(&cache.lookup_or_create(keys[i]), seen[0][i]) << "the record handed out is the one kept";
            EXPECT_EQ(title_of(*seen[0][i]), "T" + std::to_string(i));
        }
    }
}

TEST(title_cache, failed_read_stores_nothing) {
    support::TempDir dir;
    TitleCache cache;
    const auto good = support::wide(dir.write("good.fb2", book("Good")));
    int n = 0;
    for (const char *content : failing) {
        SCOPED_TRACE("failing file " + std::to_string(n));
        const auto key = support::wide(dir.write("f" + std::to_string(n++) + ".fb2", content));
        const size_t before = cache.size();
        EXPECT_ANY_THROW(cache.lookup_or_create(key));
        EXPECT_EQ(cache.size(), before);
        EXPECT_ANY_THROW(cache.lookup_or_create(key)) << "read again, fails again";
        EXPECT_EQ(cache.size(), before);
        cache.lookup_or_create(good);
        EXPECT_EQ(cache.size(), 1u);
    }
    EXPECT_ANY_THROW(cache.lookup_or_create(support::wide(dir.path() / "missing.fb2")));
    EXPECT_EQ(cache.size(), 1u);
}

TEST(title_cache, racing_on_failing_and_good_names) {
    constexpr int threads = 8, good = 16;
    support::TempDir dir;
    std::vector<std::u16string> keys;
    for (int i = 0; i < good; ++i)
        keys.push_back(support::wide(dir.write("g" + std::to_string(i) + ".fb2", book("G" + std::to_string(i)))));
    int n = 0;
    for (const char *content : failing)
        keys.push_back(support::wide(dir.write("b" + std::to_string(n++) + ".fb2", content)));

    TitleCache cache;
    std::vector<int> threw(threads, 0);
    race(threads, [&](int t) {
        for (size_t k = 0; k < keys.size(); ++k) {
            const size_t i = (k + static_cast<size_t>(t) * 3) % keys.size();
            try {
                cache.lookup_or_create(keys[i]);
            } catch (...) {
                ++threw[t];
            }
        }
    });
    EXPECT_EQ(cache.size(), static_cast<size_t>(good));
    for (int t = 0; t < threads; ++t) EXPECT_EQ(threw[t], static_cast<int>(std::size(failing))) << "thread " << t;
}

TEST(title_cache, records_stay_put_as_the_cache_grows) {
    constexpr int names = 1000;
    support::TempDir dir;
    TitleCache cache;
    const auto first_key = support::wide(dir.write("first.fb2", book("First")));
    const FB2TitleInfo *first = &cache.lookup_or_create(first_key);
    std::set<const FB2TitleInfo *> distinct{first};
    for (int i = 0; i < names; ++i)
        distinct.insert(&cache.lookup_or_create(support::wide(dir.write("m" + std::to_string(i) + ".fb2", book("M")))));
    EXPECT_EQ(distinct.size(), static_cast<size_t>(names + 1));
    EXPECT_EQ(cache.size(), static_cast<size_t>(names + 1));
    EXPECT_EQ(&cache.lookup_or_create(first_key), first);
    EXPECT_EQ(title_of(*first), "First");
}

TEST(content_module, entry_points_follow_start_and_stop) {
    support::TempDir dir;
    const fs::path file = dir.write("module.fb2", book("Before"));
    const auto wide = plugin_host::wide_name(file);
    const auto ansi = plugin_host::ansi_name(file);
    const auto title = [&](bool through_ansi) {
        plugin_host::HostBuffer buf(64);
        const int32_t r = through_ansi ? ContentGetValue(ansi.c_str(), 3, 0, buf.data(), 64, 0)
                                       : ContentGetValueW(wide.c_str(), 3, 0, buf.data(), 64, 0);
        EXPECT_TRUE(buf.guards_intact());
        if (r == fld_empty) {
            EXPECT_TRUE(buf.untouched());
            return std::string("<empty>");
        }
        std::string out;
        const auto bytes = buf.head(64);
        for (size_t k = 0; k < bytes.size() && bytes[k] != std::byte{0}; k += through_ansi ? 1 : 2)
            out += static_cast<char>(std::to_integer<unsigned>(bytes[k]));
        return out;
    };

    for (bool through_ansi : {false, true}) {
        SCOPED_TRACE(through_ansi ? "ContentGetValue" : "ContentGetValueW");
        dir.write("module.fb2", book("Before"));
        EXPECT_EQ(title(through_ansi), "<empty>") << "no cache before the module starts";
        module_start();
        EXPECT_EQ(title(through_ansi), "Before");
        dir.write("module.fb2", book("After"));
        EXPECT_EQ(title(through_ansi), "Before");
        module_stop();
        EXPECT_EQ(title(through_ansi), "<empty>") << "no cache after the module stops";
        module_start();
        EXPECT_EQ(title(through_ansi), "After") << "a new start begins empty";
        module_stop();
    }
}
