// What stands between a book's bytes and Expat, at most one stage per book, chosen from its first
// bytes: the reach filter; a check of UTF-16 surrogates that not every Expat makes; or a conversion
// to UTF-8 for encodings Expat cannot be given a table for.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "encoding_iconv.h"
#include "reach_filter.h"

namespace xmldoc::expat {

class Stage {
public:
    virtual ~Stage() = default;
    // what the parser gets for the n bytes at buf (which has `room` bytes before them, where what a
    // stage held back from the last piece goes); in place, or in the stage's own buffer
    virtual std::string_view apply(char *buf, size_t n, bool last) = 0;
};

// the most bytes a stage holds over from one piece to the next
constexpr size_t room = filter::ReachFilter::max_held > 3 ? filter::ReachFilter::max_held : 3;

// Older Expats take a high surrogate that no low one follows; newer ones refuse it where it stands.
// Turned into U+FFFF, which every Expat refuses as not a character, it fails alike everywhere: same
// message, line and column. A high half at the end of a piece waits for the next one.
class Utf16Guard final : public Stage {
public:
    explicit Utf16Guard(bool big_endian) : big_endian_(big_endian) {}
    std::string_view apply(char *buf, size_t n, bool last) override;

private:
    unsigned unit(const unsigned char *p) const { return big_endian_ ? p[0] << 8 | p[1] : p[1] << 8 | p[0]; }

    bool big_endian_;
    unsigned char hold_[3];
    size_t held_ = 0;
};

// text no query reaches left out (reach_filter.h)
class LeaveOut final : public Stage {
public:
    explicit LeaveOut(const filter::Rules &rules) : filter_(rules) {}
    std::string_view apply(char *buf, size_t n, bool last) override;
    // whether columns may have moved: anything left out so far
    bool left_out() const { return left_out_; }
    const filter::ReachFilter &filter() const { return filter_; }

private:
    filter::ReachFilter filter_;
    bool left_out_ = false;
};

// the whole book converted to UTF-8 for Expat, for encodings no table can describe to it
class ToUtf8 final : public Stage {
public:
    explicit ToUtf8(std::unique_ptr<encoding::Utf8Stream> stream) : stream_(std::move(stream)) {}
    std::string_view apply(char *buf, size_t n, bool last) override;

private:
    std::unique_ptr<encoding::Utf8Stream> stream_;
    std::string out_;
};

} // namespace xmldoc::expat
