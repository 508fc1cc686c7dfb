#include "FB2_Info.h"

#include <array>
#include <cstring>
#include <vector>

#include "../plugin/contplug.h"
#include "error.h"
#include "int_parse.h"
#include "unicode.h"
#include "xmldoc.h"

const ContentField ContentFields[ContentFieldCount] = {
    {"genre", "", fld_widestring, u"/FictionBook/description/title-info/genre[0]"},
    {"aut_f", "", fld_widestring, u"/FictionBook/description/title-info/author[0]/first-name"},
    {"aut_l", "", fld_widestring, u"/FictionBook/description/title-info/author[0]/last-name"},
    {"title", "", fld_widestring, u"/FictionBook/description/title-info/book-title"},
    {"seq", "", fld_widestring, u"/FictionBook/description/title-info/sequence/@name"},
    {"seq_n", "", fld_numeric32, u"/FictionBook/description/title-info/sequence/@number"},
};

namespace {

const std::array<std::u16string_view, ContentFieldCount> &queries() {
    static const auto all = [] {
        std::array<std::u16string_view, ContentFieldCount> q;
        for (int32_t i = 0; i < ContentFieldCount; ++i) q[i] = ContentFields[i].f_xpath;
        return q;
    }();
    return all;
}

} // namespace

void release_read_caches() { xmldoc::release_caches(); }

FB2TitleInfo::FB2TitleInfo() = default;

FB2TitleInfo::FB2TitleInfo(const std::u16string &FileName, bool explain) : FB2TitleInfo() {
    FillFB2TitleInfo(FileName, explain);
}

FB2TitleInfo::~FB2TitleInfo() = default;

void FB2TitleInfo::FillFB2TitleInfo(const std::u16string &FileName, bool explain) {
    store(xmldoc::first_children(FileName, queries(), {.explain = explain}));
}

void FB2TitleInfo::fill_from_document(std::string_view document, size_t chunk) {
    store(xmldoc::first_children_in(document, queries(), chunk));
}

template <class Answers> void FB2TitleInfo::store(const Answers &answers) {
    // build all rows first, so a failure in a late row leaves the record as it was; rows fail in
    // table order, so the first row without a text value, or that the parser could not answer, fails
    std::array<Block, ContentFieldCount> rows;
    for (int32_t i = 0; i < ContentFieldCount; ++i) {
        const xmldoc::Answer &a = answers[i];
        if (a.child == xmldoc::Child::none) continue;
        if (a.child == xmldoc::Child::no_value)
            throw ReadError("Could not convert variant of type (Null) into type (OleStr)");
        if (a.child == xmldoc::Child::failed) throw ReadError(a.failure);

        Block &b = rows[i];
        if (ContentFields[i].f_type == fld_numeric32) {
            const auto number = parse_int32(a.value);
            if (!number) throw ReadError("''" + unicode::utf16_to_utf8(a.value) + "'' is not a valid integer value");
            const auto u = static_cast<uint32_t>(*number);
            b.size = 4;
            b.data = std::make_unique<std::byte[]>(b.size);
            for (int k = 0; k < 4; ++k) b.data[k] = static_cast<std::byte>(u >> (8 * k) & 0xFF);
        } else {
            b.size = (a.value.size() + 1) * sizeof(char16_t);
            b.data = std::make_unique<std::byte[]>(b.size); // zero-filled: the terminator is already there
            // little-endian code units, whatever the machine
            for (size_t k = 0; k < a.value.size(); ++k) {
                b.data[2 * k] = static_cast<std::byte>(a.value[k] & 0xFF);
                b.data[2 * k + 1] = static_cast<std::byte>(a.value[k] >> 8);
            }
        }
    }
    for (int32_t i = 0; i < ContentFieldCount; ++i) FFields[i] = std::move(rows[i]);
}

std::span<const std::byte> FB2TitleInfo::GetFieldData(int32_t Index) const {
    // unsigned compare: a negative index is out of range too
    if (static_cast<uint32_t>(Index) >= static_cast<uint32_t>(ContentFieldCount)) return {};
    const Block &b = FFields[Index];
    return {b.data.get(), b.size};
}
