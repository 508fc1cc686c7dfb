// How the reader reads a regular file, seen from the system calls: this program puts its own read()
// in front of the C library's, as a network or user-space file system would answer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "FB2_Info.h"
#include "error.h"
#include "support.h"

namespace {

enum class Answer { honour_nonblock, always_eagain };
std::atomic<Answer> answer{Answer::honour_nonblock};
std::atomic<int> refused{0};

bool regular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

// Some file systems honour O_NONBLOCK on regular files and answer EAGAIN; this one does so always,
// or (always_eagain) whatever the flags.
extern "C" ssize_t read(int fd, void *buf, size_t n) {
    if (regular(fd) && (answer == Answer::always_eagain || (fcntl(fd, F_GETFL) & O_NONBLOCK))) {
        ++refused;
        errno = EAGAIN;
        return -1;
    }
    return syscall(SYS_read, fd, buf, n);
}

namespace {

const std::string book = "<FictionBook><description><title-info><book-title>Read blocking</book-title>"
                         "</title-info></description></FictionBook>\n";

TEST(file_read, a_regular_file_is_read_without_o_nonblock) {
    const support::TempDir dir;
    const auto p = dir.write("a.fb2", book);
    answer = Answer::honour_nonblock;
    refused = 0;
    const FB2TitleInfo info(support::wide(p));
    EXPECT_EQ(info.GetFieldData(3).size(), (std::u16string(u"Read blocking").size() + 1) * 2);
    EXPECT_EQ(refused, 0);
}

TEST(file_read, eagain_fails_the_read_with_its_message) {
    const support::TempDir dir;
    const auto p = dir.write("a.fb2", book);
    answer = Answer::always_eagain;
    try {
        const FB2TitleInfo info(support::wide(p));
        ADD_FAILURE() << "read a file whose every read failed";
    } catch (const ReadError &e) {
        EXPECT_EQ(std::string(e.what()), p.string() + ": Resource temporarily unavailable");
    }
    answer = Answer::honour_nonblock;
}

} // namespace
