// The reach filter judged by the parser: a document read with and without it must give the same
// answers to the book's queries and the same failure, message, line and column included.
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

const xmldoc::Settings filtered{};
const xmldoc::Settings unfiltered{.filter = false};

// the file, and the same bytes from memory at once and in each of the given piece sizes
inline void expect_filter_changes_nothing(const std::filesystem::path &file, std::string_view doc,
                                          std::initializer_list<size_t> chunks) {
    const std::u16string path = file.u16string();
    EXPECT_EQ(reading([&] { return xmldoc::first_children(path, book_queries(), filtered); }),
              reading([&] { return xmldoc::first_children(path, book_queries(), unfiltered); }))
        << "from the file, with the filter and without";
    for (const size_t chunk : chunks) {
        EXPECT_EQ(reading([&] { return xmldoc::first_children_in(doc, book_queries(), chunk, filtered); }),
                  reading([&] { return xmldoc::first_children_in(doc, book_queries(), chunk, unfiltered); }))
            << "from memory in pieces of " << chunk << ", with the filter and without";
    }
}

} // namespace differential
