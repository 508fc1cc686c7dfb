// Files read by name: a regular file opened for reading, and the system's text for why a call failed.
// Nothing but a regular file is opened: a folder, FIFO, socket or device is refused at once, so that
// no read can wait on one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace platform {

// why a file could not be opened or read: "name: reason", with the system's own code
class FileError : public std::runtime_error {
public:
    FileError(const std::string &message, long code) : std::runtime_error(message), code_(code) {}
    long code() const { return code_; } // errno on POSIX, an HRESULT on Windows
private:
    long code_;
};

// the system's text for a code of the kinds FileError carries
std::string system_text(long code);

class File {
public:
    // throws FileError
    explicit File(const std::u16string &name);
    // an open descriptor (POSIX) or HANDLE (Windows), owned from here on and taken as it is; name is
    // for messages
    File(intptr_t native, std::string name) : name_(std::move(name)), handle_(native) {}
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    // the size at opening: what is read, even if the file grows meanwhile
    uint64_t size() const { return size_; }
    // up to n bytes from the file's position; fewer only at its end. Throws FileError.
    size_t read(void *buf, size_t n);
    // the file's position back to its start
    void rewind();

private:
    [[noreturn]] void fail(long code) const;

    std::string name_; // UTF-8, for messages
    intptr_t handle_;  // a descriptor or a HANDLE
    uint64_t size_ = 0;
};

} // namespace platform
