#include "stages.h"

#include <cstring>

namespace xmldoc::expat {

std::string_view Utf16Guard::apply(char *buf, size_t n, bool last) {
    buf -= held_; // (into the room before the piece)
    auto *b = reinterpret_cast<unsigned char *>(buf);
    std::memcpy(b, hold_, held_);
    n += held_;
    held_ = 0;
    size_t i = 0;
    while (i + 1 < n) {
        const unsigned u = unit(b + i);
        if (u < 0xD800 || u > 0xDBFF) {
            i += 2;
            continue;
        }
        if (i + 3 >= n) break; // its partner, if any, is in the next piece
        const unsigned next = unit(b + i + 2);
        if (next >= 0xDC00 && next <= 0xDFFF) {
            i += 4;
            continue;
        }
        b[i] = b[i + 1] = 0xFF;
        i += 2;
    }
    if (last) return {buf, n}; // a character left unfinished is the parser's to report
    held_ = n - i;
    std::memcpy(hold_, b + i, held_);
    return {buf, i};
}

std::string_view LeaveOut::apply(char *buf, size_t n, bool last) {
    const std::string_view out = filter_.filter(buf, n, last);
    // (what was held back from the last piece is in out too, and is never more than it left out)
    left_out_ = left_out_ || out.size() < n || out.data() != buf;
    return out;
}

std::string_view ToUtf8::apply(char *buf, size_t n, bool last) {
    out_.resize(stream_->room(n));
    return {out_.data(), stream_->convert(buf, n, last, out_.data())};
}

} // namespace xmldoc::expat
