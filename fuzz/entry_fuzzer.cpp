// The value entry points as a host drives them: the first 8 input bytes are FieldIdx and BufSize
// (little-endian), the rest is the file. Every answer is checked against the reader fed the same bytes
// from memory, and every host buffer is exactly BufSize bytes between canaries.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "FB2_Content.h"
#include "check.h"
#include "codepage.h"
#include "error.h"

namespace {

constexpr size_t canary_size = 16;
constexpr std::byte canary{0xCD};
constexpr std::byte fill{0x3C};
// a host never hands out more than this, and bigger sizes only repeat the same checks more slowly
constexpr int32_t max_buf = 1 << 16;
// the cache keeps every file: start over now and then, as a host that unloads the library would
constexpr unsigned inputs_per_module = 256;

std::string dir;
unsigned counter = 0;

void remove_dir() { ::rmdir(dir.c_str()); }

class HostBuffer {
public:
    explicit HostBuffer(int32_t size)
        : size_(size > 0 ? static_cast<size_t>(size) : 0), bytes_(new std::byte[size_ + 2 * canary_size]) {
        std::memset(bytes_.get(), static_cast<int>(canary), canary_size);
        std::memset(data(), static_cast<int>(fill), size_);
        std::memset(data() + size_, static_cast<int>(canary), canary_size);
    }
    std::byte *data() { return bytes_.get() + canary_size; }
    std::span<const std::byte> bytes() const { return {bytes_.get() + canary_size, size_}; }
    bool canaries_intact() const {
        for (size_t k = 0; k < canary_size; ++k)
            if (bytes_[k] != canary || bytes_[canary_size + size_ + k] != canary) return false;
        return true;
    }
    bool untouched() const {
        for (std::byte b : bytes())
            if (b != fill) return false;
        return true;
    }

private:
    size_t size_;
    std::unique_ptr<std::byte[]> bytes_;
};

std::u16string units_of(std::span<const std::byte> block) {
    std::u16string s(block.size() / 2, u'\0');
    for (size_t k = 0; k < s.size(); ++k)
        s[k] = static_cast<char16_t>(std::to_integer<unsigned>(block[2 * k]) |
                                     std::to_integer<unsigned>(block[2 * k + 1]) << 8);
    return s;
}

bool high_surrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// what the wide entry point may leave in a buffer of size bytes for a stored text of n units (its NUL
// not counted): all of it when it fits, else floor(size / 2) - 1 units, one less rather than end on
// the first half of a pair
size_t wide_cut(const std::u16string &text, int32_t size) {
    const size_t room = static_cast<size_t>(size) / 2 - 1;
    if (text.size() <= room) return text.size();
    return room > 0 && high_surrogate(text[room - 1]) ? room - 1 : room;
}

// what both entry points share: empty values, numbers and buffers too small for any text; false when
// that settled the answer, true when the text itself is left to check
bool check_common(int32_t result, const HostBuffer &buf, int32_t field, int32_t size, const FB2TitleInfo *expected,
                   int32_t text_code) {
    FUZZ_CHECK(buf.canaries_intact());
    const auto value = expected ? expected->GetFieldData(field) : std::span<const std::byte>{};
    if (value.empty()) {
        FUZZ_CHECK(result == fld_empty);
        FUZZ_CHECK(buf.untouched());
        return false;
    }
    if (ContentFields[field].f_type == fld_numeric32) {
        if (size < 4) {
            FUZZ_CHECK(result == fld_empty || result == fld_numeric32);
            return false;
        }
        FUZZ_CHECK(result == fld_numeric32);
        FUZZ_CHECK(std::memcmp(buf.bytes().data(), value.data(), 4) == 0);
        return false;
    }
    if (size < 2) {
        FUZZ_CHECK(result == fld_empty || result == text_code);
        return false;
    }
    FUZZ_CHECK(result == text_code);
    return true;
}

void check_wide(int32_t result, const HostBuffer &buf, int32_t field, int32_t size, const FB2TitleInfo *expected) {
    if (!check_common(result, buf, field, size, expected, fld_widestring)) return;
    const auto value = expected->GetFieldData(field);
    const auto out = buf.bytes();
    const std::u16string text = units_of(value.first(value.size() - 2));
    const size_t n = wide_cut(text, size);
    FUZZ_CHECK(units_of(out.first(2 * n)) == text.substr(0, n));
    FUZZ_CHECK(out[2 * n] == std::byte{0} && out[2 * n + 1] == std::byte{0});
}

void check_ansi(int32_t result, const HostBuffer &buf, int32_t field, int32_t size, const FB2TitleInfo *expected) {
    if (!check_common(result, buf, field, size, expected, fld_string)) return;
    const auto value = expected->GetFieldData(field);
    const auto out = buf.bytes();
    // the text the wide rules leave, narrowed, and cut again to size - 1 bytes on a character boundary
    const std::u16string text = units_of(value.first(value.size() - 2));
    const std::string whole = codepage::narrow(text.substr(0, wide_cut(text, size)));
    const size_t n = codepage::fit(whole, static_cast<size_t>(size) - 1);
    FUZZ_CHECK(n <= static_cast<size_t>(size) - 1);
    FUZZ_CHECK(std::memcmp(out.data(), whole.data(), n) == 0);
    FUZZ_CHECK(out[n] == std::byte{0});
}

int32_t le32(const uint8_t *p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tovrel-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    dir = pattern;
    std::atexit(remove_dir);
    module_start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    const int32_t field = le32(data);
    int32_t buf_size = le32(data + 4);
    if (buf_size > max_buf) buf_size %= max_buf;
    const std::string_view book(reinterpret_cast<const char *>(data + 8), size - 8);

    if (++counter % inputs_per_module == 0) {
        module_stop();
        module_start();
    }
    // a new name for every input: a name already asked about is answered from the cache
    const std::string path = dir + "/" + std::to_string(counter) + ".fb2";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, book.data(), book.size()) == static_cast<ssize_t>(book.size()));
    ::close(fd);

    std::optional<FB2TitleInfo> expected(std::in_place);
    try {
        expected->fill_from_document(book);
    } catch (const ReadError &) {
        expected.reset();
    }
    const FB2TitleInfo *want = expected ? &*expected : nullptr;
    const std::u16string wide(path.begin(), path.end());

    const auto ask = [&](int32_t f) {
        HostBuffer w(buf_size);
        check_wide(ContentGetValueW(wide.c_str(), f, 0, w.data(), buf_size, 0), w, f, buf_size, want);
        HostBuffer a(buf_size);
        check_ansi(ContentGetValue(path.c_str(), f, 0, a.data(), buf_size, 0), a, f, buf_size, want);
    };
    ask(field); // the first request reads the file
    ::unlink(path.c_str());
    // the rest come from the cache, or read again and fail the same way; the file is gone either way
    if (want) {
        for (int32_t f = 0; f < ContentFieldCount; ++f) ask(f);
    } else {
        ask(0);
    }
    return 0;
}
