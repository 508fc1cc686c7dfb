// Where a book's bytes come from: a file or memory, read a piece at a time into one reused buffer,
// and read once more from the start when a fault's column must be found again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "file.h"
#include "reach_filter.h"

namespace xmldoc::expat {

// Books go to the parser in pieces through one reused buffer: what the filter leaves of a piece is
// small, so Expat's pass over each piece's lines and columns costs little, and a piece sits in the
// cache while the filter and the parser read it.
constexpr size_t piece_size = 256u << 10;
// what is looked at before the parser starts: the byte order mark and the XML declaration
constexpr size_t head_size = 4096;

// A piece buffer (piece_size, and room before it for what a stage holds over), taken from a pool that
// every read shares: a fresh one per book would be fresh pages for the kernel to fault in each time,
// which is what a folder of books would cost most.
class Piece {
public:
    Piece();
    ~Piece();
    Piece(const Piece &) = delete;
    Piece &operator=(const Piece &) = delete;
    char *data() const; // where the piece's bytes go: past the room

private:
    std::unique_ptr<char[]> buf_;
};

// frees the pool's buffers; only while no read runs
void release_pieces();

class Source {
public:
    virtual ~Source() = default;
    // the first bytes, for the byte order and the declaration; read() still begins at the start
    virtual std::string_view head() = 0;
    // the next bytes, at most n and the source's own piece size
    virtual size_t read(char *buf, size_t n) = 0;
    // nothing is left to read
    virtual bool done() const = 0;
    // the same bytes once more from the start, to find a fault's column again; the reads above end
    virtual filter::Reader again() = 0;
};

class FileSource final : public Source {
public:
    explicit FileSource(const std::u16string &name) : file_(name) {}
    std::string_view head() override;
    // the size at opening is what is read: a file that grows meanwhile cannot keep the read going
    size_t read(char *buf, size_t n) override;
    bool done() const override { return head_read_ && head_used_ == head_size_ && rest_ == 0; }
    filter::Reader again() override;

private:
    platform::File file_;
    uint64_t rest_ = 0; // bytes after the head still to read
    std::array<char, head_size> head_;
    size_t head_size_ = 0, head_used_ = 0;
    bool head_read_ = false;
};

class MemorySource final : public Source {
public:
    MemorySource(std::string_view document, size_t chunk) : document_(document), chunk_(chunk) {}
    std::string_view head() override { return document_.substr(0, head_size); }
    size_t read(char *buf, size_t n) override;
    bool done() const override { return at_ == document_.size(); }
    filter::Reader again() override;

private:
    std::string_view document_;
    size_t chunk_;
    size_t at_ = 0;
};

} // namespace xmldoc::expat
