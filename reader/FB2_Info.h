// The six fields a book offers, and the record of their values for one book file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct ContentField {
    const char *f_name;      // published to the host
    const char *f_unit;      // published to the host; empty for every row
    int32_t f_type;          // fld_widestring or fld_numeric32
    const char16_t *f_xpath; // selects the field's node in the book
};

inline constexpr int32_t ContentFieldCount = 6;
extern const ContentField ContentFields[ContentFieldCount];

// Frees what reads keep from book to book (parsed queries, buffers, encoding tables); only while no
// read runs: the library calls it when it is unloaded.
void release_read_caches();

// One book's values, each stored exactly as the host receives it: UTF-16 text with its NUL, or the
// 4 little-endian bytes of a number. A row without a value has no block.
class FB2TitleInfo {
public:
    FB2TitleInfo();
    // Reads the file; throws ReadError with the reason when it cannot. explain: the reason says where
    // in the book the fault is, which may cost a second read; false gives the verdict and the fault's
    // reason alone, for a caller (the cache) that never shows it.
    explicit FB2TitleInfo(const std::u16string &FileName, bool explain = true);
    ~FB2TitleInfo();

    FB2TitleInfo(const FB2TitleInfo &) = delete;
    FB2TitleInfo &operator=(const FB2TitleInfo &) = delete;

    void FillFB2TitleInfo(const std::u16string &FileName, bool explain = true);
    // the same over a document in memory, fed chunk bytes at a time (0: at once)
    void fill_from_document(std::string_view document, size_t chunk = 0);

    // the value block of row Index, or an empty span when there is none (or no such row)
    std::span<const std::byte> GetFieldData(int32_t Index) const;

private:
    struct Block {
        std::unique_ptr<std::byte[]> data;
        size_t size = 0;
    };
    std::array<Block, ContentFieldCount> FFields; // inline: one pointer less to chase on a cached request

    template <class Answers> void store(const Answers &answers);
};
