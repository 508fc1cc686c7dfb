// What the reader is measured against: the cost of touching the bytes at all, the cost of Expat's
// parse alone, and what a user with a scripting mind would write instead (a libxml2 tree and XPath).
// Each returns false when the file is not a document the method can read.
#pragma once

#include <string>
#include <vector>

namespace baseline {

// read the file in pieces of 256 KiB, as the reader does, and count its '<' with memchr
bool memchr_scan(const std::string &path);

// Expat with no handlers over the whole file, read straight into its buffer and parsed in one
// final call; encodings Expat lacks get a one-byte table from iconv
bool expat_parse(const std::string &path);

// The yardstick: a copy of the book holding only its prolog, the root's start and end tags (and what
// follows the root) and the root's description children, by Expat's account, made once and outside
// any timing: what a read could cost if the parser were given nothing more. False (and a plain copy)
// where Expat cannot read the book.
bool write_description_only(const std::string &from, const std::string &to);

// xmlReadFile and the six values through XPath
class LibXml2 {
public:
    LibXml2();
    ~LibXml2();
    LibXml2(const LibXml2 &) = delete;
    LibXml2 &operator=(const LibXml2 &) = delete;

    bool read(const std::string &path);
    // the values the last successful read found, UTF-8, empty where none
    const std::vector<std::string> &values() const { return values_; }

private:
    struct Compiled;
    Compiled *compiled_;
    std::vector<std::string> values_;
};

} // namespace baseline
