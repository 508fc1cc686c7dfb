// Books written for the benchmark: shaped like real ones (a description up front, body text,
// base64 images at the end), filled with pseudo-random Cyrillic words from a fixed seed so every
// run reads the same bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace books {

enum class Charset { utf8, cp1251 };

struct Shape {
    Charset charset = Charset::utf8;
    size_t text_bytes = 0;   // body text, roughly
    int images = 0;          // <binary> elements after the body
    size_t image_bytes = 0;  // base64 characters per image, roughly
    uint32_t seed = 1;
    size_t line_length = 76; // base64 characters per line; 0: each image on one line
};

// a whole book in memory
std::string make(const Shape &shape);

// the same, streamed to a file so a book far bigger than memory we want to spend can be written
void write(const std::filesystem::path &file, const Shape &shape);

} // namespace books
