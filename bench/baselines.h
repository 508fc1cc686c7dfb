// What the reader is measured against: the cost of touching the bytes at all, the cost of Expat's
// parse alone, and what a user with a scripting mind would write instead (a libxml2 tree and XPath).
// Each returns false when the file is not a document the method can read.
#pragma once

#include <string>
#include <vector>

namespace baseline {

// read the file and count its '<' with memchr
bool memchr_scan(const std::string &path);

// Expat with no handlers over the whole file, read straight into its buffer and parsed in one
// final call; encodings Expat lacks get a one-byte table from iconv
bool expat_parse(const std::string &path);

// The yardstick: a copy of the book in which Expat's every run of character data inside the root
// but outside description is replaced by its line breaks, made once and outside any timing. False
// (and a plain copy) where Expat cannot read the book.
bool write_unreached_removed(const std::string &from, const std::string &to);

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
