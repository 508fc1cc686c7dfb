// The reach filter judged by the parser: a document read without it, with the exact filter and with
// the judging one must give the same answers to the book's queries and the same failure, message,
// line and column included; and the judging filter's own verdict, before a failing book is read again
// for its message, must be the exact one's.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "FB2_Info.h"
#include "error.h"
#include "unicode.h"
#include "xmldoc.h"

namespace differential {

// a reading by the document layer, on one line: the failure, or every query's first child
inline std::string reading(const std::function<std::vector<xmldoc::Answer>()> &read) {
    try {
        std::string out;
        for (const xmldoc::Answer &a : read()) {
            out += a.child == xmldoc::Child::none       ? "none"
                   : a.child == xmldoc::Child::no_value ? "no value"
                   : a.child == xmldoc::Child::failed   ? "failed: " + a.failure
                                                        : "value ";
            if (a.child == xmldoc::Child::value) out += "[" + unicode::utf16_to_utf8(a.value) + "]";
            out += "; ";
        }
        return out;
    } catch (const ReadError &e) {
        return std::string("fails: ") + e.what();
    }
}

inline const std::vector<std::u16string_view> &book_queries() {
    static const std::vector<std::u16string_view> q = [] {
        std::vector<std::u16string_view> all;
        for (const ContentField &f : ContentFields) all.emplace_back(f.f_xpath);
        return all;
    }();
    return q;
}

using xmldoc::Filter;
const xmldoc::Settings unfiltered{.filter = Filter::none};
const xmldoc::Settings exact{.filter = Filter::exact};
const xmldoc::Settings judged{.filter = Filter::judge};
// the verdicts alone: the answers, or that the read fails
const xmldoc::Settings exact_verdict{.filter = Filter::exact, .explain = false};
const xmldoc::Settings judged_verdict{.filter = Filter::judge, .explain = false};

inline std::string verdict(const std::string &reading) {
    return reading.rfind("fails: ", 0) == 0 ? "fails" : reading;
}

// the three readings of one source: read(settings)
template <class Read> void expect_the_same_readings(Read &&read, const std::string &source) {
    const std::string without = reading([&] { return read(unfiltered); });
    EXPECT_EQ(reading([&] { return read(exact); }), without) << source << ", the exact filter and none";
    EXPECT_EQ(reading([&] { return read(judged); }), without) << source << ", the judging filter and none";
    EXPECT_EQ(verdict(reading([&] { return read(judged_verdict); })), verdict(reading([&] { return read(exact_verdict); })))
        << source << ", the judging filter's own verdict and the exact one's";
}

// the file, and the same bytes from memory at once and in each of the given piece sizes
inline void expect_filter_changes_nothing(const std::filesystem::path &file, std::string_view doc,
                                          std::initializer_list<size_t> chunks) {
    const std::u16string path = file.u16string();
    expect_the_same_readings([&](const xmldoc::Settings &s) { return xmldoc::first_children(path, book_queries(), s); },
                             "from the file");
    for (const size_t chunk : chunks)
        expect_the_same_readings(
            [&](const xmldoc::Settings &s) { return xmldoc::first_children_in(doc, book_queries(), chunk, s); },
            "from memory in pieces of " + std::to_string(chunk));
}

} // namespace differential
