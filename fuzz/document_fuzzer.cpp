// The reader and the document layer on arbitrary bytes. The last input byte picks how the document
// (every byte before it) is cut into pieces; however it is cut, the answers must be those of the
// document fed at once, and every stored value must have the shape the entry points rely on. The
// book's queries give the same answers and the same failure, message and place, without a filter,
// with the exact one and judging.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FB2_Info.h"
#include "check.h"
#include "contplug.h"
#include "error.h"
#include "xmldoc.h"

namespace {

using Values = std::array<std::vector<std::byte>, ContentFieldCount>;

// the six stored blocks, or nothing when the read fails
std::optional<Values> read_book(std::string_view doc, size_t chunk) {
    FB2TitleInfo info;
    try {
        info.fill_from_document(doc, chunk);
    } catch (const ReadError &) {
        // a failed read leaves the record as it was: empty
        for (int32_t i = 0; i < ContentFieldCount; ++i) FUZZ_CHECK(info.GetFieldData(i).empty());
        return std::nullopt;
    }
    Values values;
    for (int32_t i = 0; i < ContentFieldCount; ++i) {
        const auto block = info.GetFieldData(i);
        values[i].assign(block.begin(), block.end());
        if (block.empty()) continue;
        if (ContentFields[i].f_type == fld_numeric32) {
            FUZZ_CHECK(block.size() == 4);
            continue;
        }
        // UTF-16 units and one NUL: XML has no NUL character, so none inside
        FUZZ_CHECK(block.size() >= 2 && block.size() % 2 == 0);
        FUZZ_CHECK(block[block.size() - 1] == std::byte{0} && block[block.size() - 2] == std::byte{0});
        for (size_t k = 0; k + 2 < block.size(); k += 2)
            FUZZ_CHECK(block[k] != std::byte{0} || block[k + 1] != std::byte{0});
    }
    // rows outside the table have no block, whatever the index
    for (int32_t i : {-1, ContentFieldCount, INT32_MIN, INT32_MAX}) FUZZ_CHECK(info.GetFieldData(i).empty());
    return values;
}

// queries other than the book's: deeper indexes, attributes on inner steps' elements, shared prefixes,
// and as many queries as the layer takes
const std::vector<std::u16string_view> &other_queries() {
    static const std::vector<std::u16string_view> q = [] {
        std::vector<std::u16string_view> all = {
            u"/a", u"/a/b", u"/a/b[1]", u"/a/b[0]/c", u"/a/b/@c", u"/a/@b", u"/a/b[2]/@b", u"/a/a/a/a",
            u"/FictionBook/@xmlns", u"/FictionBook/description", u"/FictionBook/body/section[1]/p[0]",
            u"/FictionBook/description/title-info/author[1]/last-name",
        };
        static const std::u16string_view pad[] = {u"/x[0]", u"/x[1]", u"/x[2]", u"/x/y", u"/x/y[0]", u"/x/@y",
                                                  u"/y", u"/y/x", u"/y/x[3]", u"/y/@x", u"/z", u"/z/z",
                                                  u"/z/z/z", u"/z/z/@z", u"/z[0]/z[0]", u"/z[1]", u"/b",
                                                  u"/b/a", u"/b/@a", u"/a/b/c/d/e/f/g/h/i/j"};
        for (auto p : pad) {
            if (all.size() == 32) break;
            all.push_back(p);
        }
        return all;
    }();
    return q;
}

std::optional<std::vector<xmldoc::Answer>> answer(std::string_view doc, size_t chunk) {
    try {
        auto answers = xmldoc::first_children_in(doc, other_queries(), chunk);
        FUZZ_CHECK(answers.size() == other_queries().size());
        for (const auto &a : answers) FUZZ_CHECK(a.child == xmldoc::Child::value || a.value.empty());
        return answers;
    } catch (const ReadError &) {
        return std::nullopt;
    }
}

bool same(const std::optional<std::vector<xmldoc::Answer>> &a, const std::optional<std::vector<xmldoc::Answer>> &b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    for (size_t i = 0; i < a->size(); ++i)
        if ((*a)[i].child != (*b)[i].child || (*a)[i].value != (*b)[i].value) return false;
    return true;
}

// the book's queries through the layer: the answers, or the failure's message
std::string book_reading(std::string_view doc, size_t chunk, const xmldoc::Settings &settings) {
    static const std::vector<std::u16string_view> queries = [] {
        std::vector<std::u16string_view> q;
        for (const ContentField &f : ContentFields) q.emplace_back(f.f_xpath);
        return q;
    }();
    try {
        std::string out;
        for (const auto &a : xmldoc::first_children_in(doc, queries, chunk, settings)) {
            out += static_cast<char>('0' + static_cast<int>(a.child));
            out.append(reinterpret_cast<const char *>(a.value.data()), a.value.size() * 2);
            out += '\0';
        }
        return out;
    } catch (const ReadError &e) {
        return std::string("fails: ") + e.what();
    }
}

// pieces from the selector byte: a few large ones for any size, single bytes and other small pieces
// only for small documents (Expat rescans a token cut across pieces, which is slow for long tokens)
size_t chunk_size(size_t size, uint8_t selector) {
    if (selector >= 192 && size <= 4096) return static_cast<size_t>(selector - 191);
    const size_t pieces = 2 + selector % 16;
    return size / pieces + 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::string_view doc(reinterpret_cast<const char *>(data), size - 1);
    const size_t chunk = chunk_size(doc.size(), data[size - 1]);

    const auto whole = read_book(doc, 0);
    FUZZ_CHECK(read_book(doc, chunk) == whole);
    FUZZ_CHECK(same(answer(doc, 0), answer(doc, chunk)));
    // without a filter, with the exact one and judging: the same answers, or the same failure with the
    // same message; and the judging filter's own verdict, before a failing book is read again, is the
    // exact one's
    const std::string without = book_reading(doc, chunk, {.filter = xmldoc::Filter::none});
    FUZZ_CHECK(book_reading(doc, chunk, {.filter = xmldoc::Filter::exact}) == without);
    FUZZ_CHECK(book_reading(doc, chunk, {.filter = xmldoc::Filter::judge}) == without);
    const auto verdict = [](const std::string &reading) { return reading.rfind("fails: ", 0) == 0 ? "fails" : reading; };
    FUZZ_CHECK(verdict(book_reading(doc, chunk, {.filter = xmldoc::Filter::judge, .explain = false})) ==
               verdict(book_reading(doc, chunk, {.filter = xmldoc::Filter::exact, .explain = false})));
    return 0;
}
