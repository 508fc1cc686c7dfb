// How the reader reads a regular file, seen from the system calls: this program puts its own read()
// in front of the C library's, as a network or user-space file system would answer, and counts the
// bytes it gives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <string>

#include "FB2_Content.h"
#include "FB2_Info.h"
#include "error.h"
#include "support.h"

namespace {

enum class Answer { honour_nonblock, always_eagain };
std::atomic<Answer> answer{Answer::honour_nonblock};
std::atomic<int> refused{0};
std::atomic<uint64_t> bytes_read{0}; // of regular files

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
    const auto got = static_cast<ssize_t>(syscall(SYS_read, fd, buf, n));
    if (got > 0 && regular(fd)) bytes_read += static_cast<uint64_t>(got);
    return got;
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

// A failing book is read once for its verdict; only a caller that asks why pays for more: a read the
// exact way, for the parser's own message, and one more that finds the fault's column again where
// the filter left text out before it.
TEST(file_read, a_failing_book_is_read_again_only_for_its_message) {
    const support::TempDir dir;
    const auto p = dir.write("broken.fb2", "<FictionBook><description><title-info><book-title>T</book-title>"
                                           "</title-info></description><body><p>Text left out.</b></body></FictionBook>\n");
    const std::u16string name = support::wide(p);
    const auto size = static_cast<uint64_t>(std::filesystem::file_size(p));
    const auto six_columns = [&] {
        module_start();
        for (int32_t field = 0; field < ContentFieldCount; ++field) {
            // the host's buffer, and a canary after it
            struct {
                char16_t buf[64];
                char canary[8] = {'c', 'a', 'n', 'a', 'r', 'y', '!', '\0'};
            } host;
            EXPECT_EQ(ContentGetValueW(reinterpret_cast<const tovrel_wchar *>(name.c_str()), field, 0, host.buf,
                                       sizeof host.buf, 0),
                      fld_empty);
            EXPECT_STREQ(host.canary, "canary!");
        }
        module_stop();
    };
    const struct {
        const char *label;
        std::function<void()> read;
        uint64_t reads;
    } rows[] = {
        {"the reader, asked why", [&] { FB2TitleInfo info(name); }, 3},
        {"the reader, asked for the verdict", [&] { FB2TitleInfo info(name, false); }, 1},
        {"six columns through the exports, none of them cached", six_columns, 6},
    };
    answer = Answer::honour_nonblock;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        bytes_read = 0;
        try {
            row.read();
        } catch (const ReadError &) {
        }
        EXPECT_EQ(bytes_read, row.reads * size);
    }
}

// A file the reader refuses is closed again: a folder and a FIFO named as books, read a hundred times,
// leave no descriptor open (a constructor that throws runs no destructor).
TEST(file_read, what_is_refused_leaves_no_descriptor_open) {
    const support::TempDir dir;
    const auto folder = dir.path() / "folder.fb2";
    const auto fifo = dir.path() / "fifo.fb2";
    std::filesystem::create_directory(folder);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto open_descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator{});
    };
    const auto before = open_descriptors();
    for (int round = 0; round < 100; ++round)
        for (const auto &p : {folder, fifo}) EXPECT_THROW(FB2TitleInfo info(support::wide(p)), ReadError);
    EXPECT_EQ(open_descriptors(), before);
}

} // namespace
