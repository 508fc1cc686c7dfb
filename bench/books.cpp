#include "books.h"

#include <array>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>

namespace books {

namespace {

// Cyrillic letters are indexes 0..31 (а..я without ё); capitals come out of the same index
class Writer {
public:
    Writer(Charset charset, uint32_t seed, std::function<void(const std::string &)> sink)
        : charset_(charset), rng_(seed), sink_(std::move(sink)) {}

    void raw(std::string_view s) {
        out_ += s;
        if (out_.size() >= 1 << 16) flush();
    }

    void flush() {
        if (!out_.empty()) sink_(out_);
        out_.clear();
    }

    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }

    void letter(int index, bool capital) {
        const unsigned code = (capital ? 0x410u : 0x430u) + static_cast<unsigned>(index);
        if (charset_ == Charset::cp1251) {
            out_ += static_cast<char>(code - 0x410u + 0xC0u); // А..я sit at C0..FF in windows-1251
        } else {
            out_ += static_cast<char>(0xC0u | code >> 6);
            out_ += static_cast<char>(0x80u | (code & 0x3Fu));
        }
    }

    void dash() {
        if (charset_ == Charset::cp1251)
            out_ += '\x97';
        else
            out_ += "\xE2\x80\x94";
    }

    void word(bool capital) {
        const int n = 2 + pick(8);
        for (int k = 0; k < n; ++k) letter(pick(32), capital && k == 0);
    }

    void sentence() {
        const int n = 4 + pick(12);
        for (int k = 0; k < n; ++k) {
            if (k) out_ += (pick(9) == 0 ? ", " : " ");
            if (k && pick(40) == 0) {
                dash();
                out_ += ' ';
            }
            word(k == 0);
        }
        out_ += (pick(6) == 0 ? "?" : ".");
    }

    // a paragraph now and then carries inline markup or an entity, as real books do
    void paragraph() {
        raw("<p>");
        const int n = 1 + pick(5);
        for (int k = 0; k < n; ++k) {
            if (k) out_ += ' ';
            if (pick(12) == 0) {
                out_ += "<emphasis>";
                sentence();
                out_ += "</emphasis>";
            } else {
                sentence();
            }
            if (pick(30) == 0) out_ += " &#8230;";
        }
        raw("</p>\n");
    }

    void words(int n) {
        for (int k = 0; k < n; ++k) {
            if (k) out_ += ' ';
            word(true);
        }
    }

    void base64(size_t n, size_t line) {
        static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (size_t k = 0; k < n; ++k) {
            out_ += digits[rng_() & 63];
            if (line && k % line == line - 1) raw("\n");
        }
        raw("==\n");
    }

    size_t written() const { return total_ + out_.size(); }
    void count_flushed(size_t n) { total_ += n; }

private:
    Charset charset_;
    std::mt19937 rng_; // its sequence is fixed by the standard: the same books on every machine
    std::function<void(const std::string &)> sink_;
    std::string out_;
    size_t total_ = 0;
};

constexpr std::array genres = {"sf_fantasy", "prose_contemporary", "det_classic", "adv_history", "love_short",
                               "sf_history", "poetry", "child_tale", "sci_history", "humor_prose"};

void book(Writer &w, const Shape &shape) {
    w.raw(shape.charset == Charset::cp1251 ? "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n"
                                           : "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    w.raw("<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\" "
          "xmlns:l=\"http://www.w3.org/1999/xlink\">\n<description>\n<title-info>\n");
    const int genre_count = 1 + w.pick(3);
    for (int k = 0; k < genre_count; ++k) {
        w.raw("<genre>");
        w.raw(genres[static_cast<size_t>(w.pick(static_cast<int>(genres.size())))]);
        w.raw("</genre>\n");
    }
    w.raw("<author>\n<first-name>");
    w.words(1);
    w.raw("</first-name>\n<middle-name>");
    w.words(1);
    w.raw("</middle-name>\n<last-name>");
    w.words(1);
    w.raw("</last-name>\n</author>\n<book-title>");
    w.words(1 + w.pick(4));
    w.raw("</book-title>\n<annotation>\n");
    w.paragraph();
    w.paragraph();
    w.raw("</annotation>\n");
    if (shape.images) w.raw("<coverpage><image l:href=\"#image0.jpg\"/></coverpage>\n");
    w.raw("<lang>ru</lang>\n<sequence name=\"");
    w.words(2);
    w.raw("\" number=\"" + std::to_string(1 + w.pick(30)) + "\"/>\n</title-info>\n");
    w.raw("<document-info>\n<author><nickname>bench</nickname></author>\n"
          "<date value=\"2026-01-01\">2026</date>\n<id>");
    w.raw(std::to_string(shape.seed));
    w.raw("</id>\n<version>1.0</version>\n</document-info>\n</description>\n<body>\n<title><p>");
    w.words(2);
    w.raw("</p></title>\n");

    const size_t body_end = w.written() + shape.text_bytes;
    while (w.written() < body_end) {
        w.raw("<section>\n<title><p>");
        w.words(1 + w.pick(3));
        w.raw("</p></title>\n");
        for (int k = 0; k < 40 && w.written() < body_end; ++k) w.paragraph();
        w.raw("</section>\n");
    }
    w.raw("</body>\n");
    for (int k = 0; k < shape.images; ++k) {
        w.raw("<binary id=\"image" + std::to_string(k) + ".jpg\" content-type=\"image/jpeg\">\n");
        w.base64(shape.image_bytes, shape.line_length);
        w.raw("</binary>\n");
    }
    w.raw("</FictionBook>\n");
    w.flush();
}

} // namespace

std::string make(const Shape &shape) {
    std::string all;
    Writer *self = nullptr;
    Writer w(shape.charset, shape.seed, [&](const std::string &piece) {
        all += piece;
        self->count_flushed(piece.size());
    });
    self = &w;
    book(w, shape);
    return all;
}

void write(const std::filesystem::path &file, const Shape &shape) {
    std::ofstream out(file, std::ios::binary);
    Writer *self = nullptr;
    Writer w(shape.charset, shape.seed, [&](const std::string &piece) {
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        self->count_flushed(piece.size());
    });
    self = &w;
    book(w, shape);
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

} // namespace books
