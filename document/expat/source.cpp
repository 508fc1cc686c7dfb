#include "source.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "resident.h"
#include "stages.h"

namespace xmldoc::expat {

namespace {

// a few buffers are kept, for readers on several threads
struct Pool {
    std::mutex lock;
    std::vector<std::unique_ptr<char[]>> free;
};

} // namespace

Piece::Piece() {
    Pool &pool = resident<Pool>();
    {
        std::lock_guard guard(pool.lock);
        if (!pool.free.empty()) {
            buf_ = std::move(pool.free.back());
            pool.free.pop_back();
            return;
        }
    }
    buf_ = std::make_unique_for_overwrite<char[]>(room + piece_size);
}

Piece::~Piece() {
    Pool &pool = resident<Pool>();
    try {
        std::lock_guard guard(pool.lock);
        if (pool.free.size() < 8) pool.free.push_back(std::move(buf_));
    } catch (...) {
        // (a buffer not kept is only freed)
    }
}

char *Piece::data() const { return buf_.get() + room; }

void release_pieces() {
    Pool &pool = resident<Pool>();
    std::lock_guard guard(pool.lock);
    std::vector<std::unique_ptr<char[]>>().swap(pool.free);
}

std::string_view FileSource::head() {
    if (!head_read_) {
        head_read_ = true;
        const auto want = static_cast<size_t>(std::min<uint64_t>(file_.size(), head_.size()));
        head_size_ = file_.read(head_.data(), want);
        rest_ = head_size_ < want ? 0 : file_.size() - head_size_;
    }
    return {head_.data(), head_size_};
}

size_t FileSource::read(char *buf, size_t n) {
    head();
    size_t got = std::min(n, head_size_ - head_used_);
    std::memcpy(buf, head_.data() + head_used_, got);
    head_used_ += got;
    if (got < n && rest_ > 0) {
        const auto want = static_cast<size_t>(std::min<uint64_t>(n - got, rest_));
        const size_t more = file_.read(buf + got, want);
        rest_ = more < want ? 0 : rest_ - more; // short: the file shrank meanwhile
        got += more;
    }
    return got;
}

filter::Reader FileSource::again() {
    file_.rewind();
    return [this, left = file_.size()](char *buf, size_t n) mutable {
        const auto want = static_cast<size_t>(std::min<uint64_t>(n, left));
        const size_t got = want ? file_.read(buf, want) : 0;
        left = got < want ? 0 : left - got;
        return got;
    };
}

size_t MemorySource::read(char *buf, size_t n) {
    const size_t got = std::min({n, chunk_, document_.size() - at_});
    std::memcpy(buf, document_.data() + at_, got);
    at_ += got;
    return got;
}

filter::Reader MemorySource::again() {
    return [doc = document_, at = size_t{0}](char *buf, size_t n) mutable {
        const size_t got = std::min(n, doc.size() - at);
        std::memcpy(buf, doc.data() + at, got);
        at += got;
        return got;
    };
}

} // namespace xmldoc::expat
