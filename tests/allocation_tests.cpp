// Every allocation of a read failing in turn: the read fails cleanly with std::bad_alloc (never
// through the parser's C frames, never half-answered) or gives its full answer; nothing leaks
// (LeakSanitizer watches the sanitized build). This program replaces operator new to do it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "FB2_Info.h"
#include "error.h"
#include "support.h"

namespace {

// allocations left before one fails; negative: none fails
std::atomic<long> countdown{-1};
std::atomic<bool> failed{false};

void *allocate(std::size_t n) {
    if (countdown.load() >= 0 && countdown.fetch_sub(1) == 0) {
        failed = true;
        throw std::bad_alloc();
    }
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

} // namespace

void *operator new(std::size_t n) { return allocate(n); }
void *operator new[](std::size_t n) { return allocate(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace std::string_literals;

// the six blocks of a read, or the failure's kind
std::string outcome(const std::function<void(FB2TitleInfo &)> &read) {
    try {
        FB2TitleInfo info;
        read(info);
        std::string blocks;
        for (int32_t i = 0; i < ContentFieldCount; ++i) {
            const auto b = info.GetFieldData(i);
            blocks += std::to_string(i) + ":" + std::string(reinterpret_cast<const char *>(b.data()), b.size()) + ";";
        }
        return blocks;
    } catch (const std::bad_alloc &) {
        return "bad_alloc";
    } catch (const ReadError &e) {
        return "ReadError: "s + e.what();
    }
}

std::string utf16le(const std::string &ascii) {
    std::string out = "\xFF\xFE";
    for (const char c : ascii) out += std::string{c, '\0'};
    return out;
}

TEST(allocation, every_failure_in_turn_fails_the_read_cleanly) {
    const std::string title_info =
        "<genre>sf</genre><author><first-name>Lev</first-name><last-name>&who;</last-name></author>"
        "<book-title xml:space=\"preserve\"> <!--War and Peace--></book-title>"
        "<sequence name=\"Epics &who;\" number=\"3\"/>";
    const std::string prolog = "<!DOCTYPE FictionBook SYSTEM \"fb.dtd\" [<!ENTITY who \"Tolstoy\">]>";
    const std::string tail = "<body><p>text</p></body></FictionBook>\n";
    const struct {
        const char *label;
        std::string doc;
    } books[] = {
        {"UTF-8", "<?xml version=\"1.0\"?>" + prolog + "<FictionBook><description><title-info>" + title_info +
                      "</title-info></description>" + tail},
        {"windows-1251 through a table", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><FictionBook><description>"
                                         "<title-info><book-title>\xCC\xE8\xF0</book-title></title-info>"
                                         "</description>" + tail},
        {"GB18030 converted", "<?xml version=\"1.0\" encoding=\"GB18030\"?><FictionBook><description><title-info>"
                              "<book-title>\x81\x30\x8B\x38</book-title></title-info></description>" + tail},
        {"UTF-16", utf16le("<FictionBook><description><title-info><book-title>T</book-title></title-info>"
                           "</description>" + tail)},
    };
    const support::TempDir dir;
    for (const auto &book : books) {
        SCOPED_TRACE(book.label);
        const auto path = support::wide(dir.write("book.fb2", book.doc));
        const std::function<void(FB2TitleInfo &)> reads[] = {
            [&](FB2TitleInfo &info) { info.FillFB2TitleInfo(path); },
            [&](FB2TitleInfo &info) { info.fill_from_document(book.doc); },
            [&](FB2TitleInfo &info) { info.fill_from_document(book.doc, 3); },
        };
        for (const auto &read : reads) {
            const std::string whole = outcome(read);
            ASSERT_EQ(whole.find("bad_alloc"), std::string::npos);
            int failures = 0;
            for (long n = 0;; ++n) {
                failed = false;
                countdown = n;
                const std::string got = outcome(read);
                countdown = -1;
                if (!failed) {
                    EXPECT_EQ(got, whole) << "after " << n << " allocations";
                    break;
                }
                ++failures;
                EXPECT_EQ(got, "bad_alloc") << "allocation " << n << " failed";
            }
            EXPECT_GT(failures, 3);
        }
    }
}

} // namespace
