#include "book_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace xmldoc {

BookStream::BookStream(std::unique_ptr<platform::File> file, std::string_view bytes, size_t piece,
                       const filter::Rules &rules)
    : file_(std::move(file)), memory_(bytes), piece_(piece ? piece : file_piece), rules_(rules), filter_(rules) {}

BookStream::~BookStream() = default;

namespace {

// a new stream with its buffer, or null when memory ran out for either
BookStream *with_buffer(BookStream *stream, std::unique_ptr<char[]> &buffer, size_t size) {
    if (!stream) return nullptr;
    buffer.reset(new (std::nothrow) char[size + filter::ReachFilter::max_held]);
    if (buffer) return stream;
    stream->Release();
    return nullptr;
}

} // namespace

BookStream *BookStream::over_file(std::unique_ptr<platform::File> file, const filter::Rules &rules) {
    auto *stream = new (std::nothrow) BookStream(std::move(file), {}, file_piece, rules);
    return stream ? with_buffer(stream, stream->buffer_, stream->piece_) : nullptr;
}

BookStream *BookStream::over_memory(std::string_view bytes, size_t piece, const filter::Rules &rules) {
    // a piece past the end only costs a bigger buffer
    if (piece > bytes.size()) piece = std::max<size_t>(bytes.size(), 1);
    auto *stream = new (std::nothrow) BookStream(nullptr, bytes, piece, rules);
    return stream ? with_buffer(stream, stream->buffer_, stream->piece_) : nullptr;
}

void BookStream::detach() {
    memory_ = {};
    memory_at_ = 0;
    begin_ = end_ = 0;
    ended_ = true;
}

HRESULT STDMETHODCALLTYPE BookStream::QueryInterface(REFIID iid, void **out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
        *out = static_cast<IStream *>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE BookStream::AddRef() { return ++refs_; }

ULONG STDMETHODCALLTYPE BookStream::Release() {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

HRESULT STDMETHODCALLTYPE BookStream::Read(void *buffer, ULONG size, ULONG *done) {
    if (done) *done = 0;
    if (!buffer && size) return STG_E_INVALIDPOINTER;
    ULONG total = 0;
    auto *at = static_cast<char *>(buffer);
    while (total < size) {
        if (begin_ == end_) {
            const HRESULT status = refill();
            if (FAILED(status)) {
                position_ += total;
                if (done) *done = total;
                return status;
            }
            if (begin_ == end_) break; // the end
        }
        const size_t n = std::min<size_t>(size - total, end_ - begin_);
        std::memcpy(at + total, buffer_.get() + begin_, n);
        begin_ += n;
        total += static_cast<ULONG>(n);
    }
    position_ += total;
    if (done) *done = total;
    return total == size ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE BookStream::Write(const void *, ULONG, ULONG *done) {
    if (done) *done = 0;
    return STG_E_ACCESSDENIED;
}

HRESULT STDMETHODCALLTYPE BookStream::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *position) {
    ULONGLONG base = 0;
    if (origin == STREAM_SEEK_CUR) {
        base = position_;
    } else if (origin == STREAM_SEEK_END) {
        const HRESULT status = filtered_size(base);
        if (FAILED(status)) return status;
    } else if (origin != STREAM_SEEK_SET) {
        return STG_E_INVALIDFUNCTION;
    }
    // unsigned arithmetic: the most negative move has no positive counterpart
    const auto step = static_cast<ULONGLONG>(move.QuadPart);
    if (move.QuadPart < 0 && 0 - step > base) return STG_E_INVALIDFUNCTION;
    if (move.QuadPart > 0 && step > ~0ull - base) return STG_E_INVALIDFUNCTION;
    const HRESULT status = go_to(base + step);
    if (FAILED(status)) return status;
    if (position) position->QuadPart = position_;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE BookStream::SetSize(ULARGE_INTEGER) { return STG_E_ACCESSDENIED; }

HRESULT STDMETHODCALLTYPE BookStream::CopyTo(IStream *to, ULARGE_INTEGER size, ULARGE_INTEGER *read,
                                             ULARGE_INTEGER *written) {
    if (!to) return STG_E_INVALIDPOINTER;
    char buffer[16384];
    ULONGLONG in = 0, out = 0;
    HRESULT status = S_OK;
    while (in < size.QuadPart) {
        const auto want = static_cast<ULONG>(std::min<ULONGLONG>(sizeof buffer, size.QuadPart - in));
        ULONG got = 0;
        const HRESULT read_status = Read(buffer, want, &got);
        in += got;
        // bytes a failing read did give are passed on before its failure
        if (got > 0) {
            ULONG put = 0;
            status = to->Write(buffer, got, &put);
            out += put;
            if (FAILED(status)) break;
        }
        status = read_status;
        if (FAILED(status) || got < want) break;
    }
    if (read) read->QuadPart = in;
    if (written) written->QuadPart = out;
    return FAILED(status) ? status : S_OK;
}

HRESULT STDMETHODCALLTYPE BookStream::Commit(DWORD) { return S_OK; }

HRESULT STDMETHODCALLTYPE BookStream::Revert() { return S_OK; }

HRESULT STDMETHODCALLTYPE BookStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT STDMETHODCALLTYPE BookStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}

HRESULT STDMETHODCALLTYPE BookStream::Stat(STATSTG *stat, DWORD) {
    if (!stat) return STG_E_INVALIDPOINTER;
    *stat = STATSTG{}; // no name: a caller that asks for one gets none
    stat->type = STGTY_STREAM;
    stat->grfMode = STGM_READ | STGM_SHARE_DENY_NONE;
    ULONGLONG size = 0;
    const HRESULT status = filtered_size(size);
    if (FAILED(status)) return status;
    stat->cbSize.QuadPart = size;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE BookStream::Clone(IStream **out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

// up to n bytes of the source; fewer only at its end
HRESULT BookStream::take(char *to, size_t n, size_t &got) {
    got = 0;
    if (!file_) {
        got = std::min(n, memory_.size() - memory_at_);
        std::memcpy(to, memory_.data() + memory_at_, got);
        memory_at_ += got;
        return S_OK;
    }
    try {
        got = file_->read(to, n);
    } catch (const platform::FileError &e) {
        return static_cast<HRESULT>(e.code());
    }
    return S_OK;
}

// the next filtered bytes into the buffer; none only at the end
HRESULT BookStream::refill() try {
    begin_ = end_ = 0;
    while (!ended_ && end_ == begin_) {
        size_t got = 0;
        // (the room before the piece is the filter's, for what it held back from the last one)
        char *const piece = buffer_.get() + filter::ReachFilter::max_held;
        const HRESULT status = take(piece, piece_, got);
        if (FAILED(status)) return status;
        // a short piece is the end; after a full one the end comes as an empty piece
        ended_ = got < piece_;
        const std::string_view out = filter_.filter(piece, got, ended_);
        // a judging filter that found a fault, or gave up, has nothing more to give
        if (filter_.outcome() != filter::Outcome::going) return E_ABORT;
        begin_ = static_cast<size_t>(out.data() - buffer_.get());
        end_ = begin_ + out.size();
        left_out_ = left_out_ || out.size() < got || out.data() != piece;
    }
    return S_OK;
} catch (...) {
    // (the filter's stack of open elements may want memory: nothing may unwind through the object)
    return E_OUTOFMEMORY;
}

HRESULT BookStream::rewind() {
    if (file_) {
        try {
            file_->rewind();
        } catch (const platform::FileError &e) {
            return static_cast<HRESULT>(e.code());
        }
    }
    memory_at_ = 0;
    filter_ = filter::ReachFilter(rules_);
    begin_ = end_ = 0;
    ended_ = false;
    position_ = 0;
    return S_OK;
}

// reads on towards target; stops at the end if that comes first
HRESULT BookStream::read_on(ULONGLONG target) {
    while (position_ < target) {
        if (begin_ == end_) {
            const HRESULT status = refill();
            if (FAILED(status)) return status;
            if (begin_ == end_) break;
        }
        const size_t n = static_cast<size_t>(std::min<ULONGLONG>(target - position_, end_ - begin_));
        begin_ += n;
        position_ += n;
    }
    return S_OK;
}

// a position past the end is kept, and reads there give nothing
HRESULT BookStream::go_to(ULONGLONG target) {
    if (target < position_) {
        const HRESULT status = rewind();
        if (FAILED(status)) return status;
    }
    const HRESULT status = read_on(target);
    if (FAILED(status)) return status;
    position_ = target;
    return S_OK;
}

HRESULT BookStream::filtered_size(ULONGLONG &size) {
    if (!size_known_) {
        const ULONGLONG was = position_;
        HRESULT status = rewind();
        if (SUCCEEDED(status)) status = read_on(~0ull);
        if (FAILED(status)) return status;
        size_ = position_;
        size_known_ = true;
        status = go_to(was);
        if (FAILED(status)) return status;
    }
    size = size_;
    return S_OK;
}

int64_t BookStream::column_shift(uint64_t line, uint64_t column) {
    if (!left_out_ || !rules_.reach) return 0;
    // the source from its start, unfiltered; the stream's own position is not needed any more
    if (file_) {
        try {
            file_->rewind();
        } catch (const platform::FileError &) {
            return 0;
        }
    }
    size_t at = 0;
    const filter::Reader read = [&](char *to, size_t n) -> size_t {
        if (!file_) {
            const size_t got = std::min(n, memory_.size() - at);
            std::memcpy(to, memory_.data() + at, got);
            at += got;
            return got;
        }
        size_t got = 0;
        return SUCCEEDED(take(to, n, got)) ? got : 0;
    };
    return filter::column_shift(rules_, read, line, column);
}

} // namespace xmldoc
