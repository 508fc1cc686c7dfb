#include "file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "unicode.h"

namespace platform {

std::string system_text(long code) { return std::error_code(static_cast<int>(code), std::generic_category()).message(); }

File::File(const std::u16string &name) : name_(unicode::utf16_to_utf8(name)), handle_(-1) {
    // an unpaired surrogate has no UTF-8 form, and its stand-in would name some other file
    if (unicode::utf8_to_utf16(name_) != name) throw FileError(name_ + ": not a valid UTF-16 file name", EINVAL);
    // O_NONBLOCK: opening a FIFO must not wait for a writer
    const int fd = ::open(name_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) fail(errno);
    // (a constructor that throws runs no destructor: the descriptor is closed here)
    const auto refuse = [fd](FileError e) -> FileError {
        ::close(fd);
        return e;
    };
    struct stat st;
    if (::fstat(fd, &st) != 0) throw refuse(FileError(name_ + ": " + system_text(errno), errno));
    if (!S_ISREG(st.st_mode)) throw refuse(FileError(name_ + ": not a regular file", EINVAL));
    // a regular file is read blocking: some network and user-space file systems honour the flag
    // (of the flags F_SETFL sets, it was opened with that one alone: one call, not two)
    if (::fcntl(fd, F_SETFL, 0) != 0) throw refuse(FileError(name_ + ": " + system_text(errno), errno));
    handle_ = fd;
    size_ = static_cast<uint64_t>(st.st_size);
}

File::~File() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

void File::fail(long code) const { throw FileError(name_ + ": " + system_text(code), code); }

size_t File::read(void *buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(static_cast<int>(handle_), static_cast<char *>(buf) + done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            fail(errno); // EAGAIN too: nothing here can wait for it
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return done;
}

void File::rewind() {
    if (::lseek(static_cast<int>(handle_), 0, SEEK_SET) < 0) fail(errno);
}

} // namespace platform
