// A read-only stream over a book for the platform's document object: the bytes of a file or of
// memory, handed out through the reach filter. The object copies the whole stream before it parses,
// so what it builds is the book's markup and the text its queries can reach.
#pragma once

#include <windows.h>

#include <objidl.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "file.h"
#include "reach_filter.h"

namespace xmldoc {

class BookStream final : public IStream {
public:
    // over an open file, which it owns and closes; rules: how the filter works (a null reach passes
    // everything)
    static BookStream *over_file(std::unique_ptr<platform::File> file, const filter::Rules &rules);
    // over bytes that stay put until detach(), taken piece bytes at a time (0: as from a file)
    static BookStream *over_memory(std::string_view bytes, size_t piece, const filter::Rules &rules);
    // both: created with one reference, or null when memory ran out (the file is closed then)

    // how many columns further right than the document object says (line and column from 1) a
    // position stands in the book, found by reading it again; 0 when nothing was left out
    int64_t column_shift(uint64_t line, uint64_t column);

    // the bytes in memory are about to go: a reference the object keeps reads nothing more
    void detach();

    // a judging filter's outcome: where it is not going, Read has failed (E_ABORT) and the object's
    // load with it
    filter::Outcome outcome() const { return filter_.outcome(); }
    const char *fault() const { return filter_.fault(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // fewer bytes than asked for only at the end: a caller may take S_FALSE for the end
    HRESULT STDMETHODCALLTYPE Read(void *buffer, ULONG size, ULONG *done) override;
    HRESULT STDMETHODCALLTYPE Write(const void *, ULONG, ULONG *done) override;
    // positions count the filtered bytes: back reads again from the start, on reads past, and the
    // end is where Read stops
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *position) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream *to, ULARGE_INTEGER size, ULARGE_INTEGER *read,
                                     ULARGE_INTEGER *written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    // the size is all that Read gives, found by one pass through the filter the first time
    HRESULT STDMETHODCALLTYPE Stat(STATSTG *stat, DWORD) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream **out) override;

    static constexpr size_t file_piece = 64u << 10; // bytes of the file filtered at a time

private:
    BookStream(std::unique_ptr<platform::File> file, std::string_view bytes, size_t piece, const filter::Rules &rules);
    ~BookStream();

    HRESULT take(char *to, size_t n, size_t &got);
    HRESULT refill();
    HRESULT rewind();
    HRESULT read_on(ULONGLONG target);
    HRESULT go_to(ULONGLONG target);
    HRESULT filtered_size(ULONGLONG &size);

    std::unique_ptr<platform::File> file_; // null: the bytes in memory
    std::string_view memory_;
    size_t memory_at_ = 0;
    size_t piece_;
    filter::Rules rules_;
    filter::ReachFilter filter_;
    bool left_out_ = false; // the filter has left something out
    std::unique_ptr<char[]> buffer_;
    size_t begin_ = 0, end_ = 0; // the filtered bytes in the buffer not yet handed out
    bool ended_ = false;         // the source is read to its end and the filter told so
    ULONGLONG position_ = 0;
    ULONGLONG size_ = 0;
    bool size_known_ = false;
    std::atomic<ULONG> refs_{1};
};

} // namespace xmldoc
