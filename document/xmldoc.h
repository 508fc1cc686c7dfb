// The document layer: reads an XML document once and answers path queries about it. It knows
// nothing of books; the reader gives it the queries. It uses the filter (filter/) and the operating
// system's side (platform/); each back end (expat/ on POSIX, windows/ on Windows) is one parser.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace xmldoc {

// What a query leads to: the first child of the first node it selects.
enum class Child {
    none,     // nothing selected, or the selected node has no children
    value,    // a text, CDATA, comment or processing-instruction child (its text is in Answer::value)
    no_value, // an element or an unexpanded entity reference: a node without a text value
    failed    // the parser could not answer this query (Answer::failure says why); later ones are not asked
};

struct Answer {
    Child child = Child::none;
    std::u16string value;
    std::string failure;
};

// What stands between a document's bytes and the parser (filter/reach_filter.h): nothing; the exact
// filter, which leaves out the text no query can reach; or the judging one, which leaves out the
// markup it proves too, and gives way to the exact one where it cannot judge. Tests compare all three.
enum class Filter : uint8_t { none, exact, judge };

// How a document is read.
struct Settings {
    Filter filter = Filter::judge;
    // a failure's message tells where the fault is, line and column as in the document, which may
    // mean reading it again (the exact way); false: the verdict and the fault's reason alone, which is
    // all a host that only shows values needs
    bool explain = true;
};

// Queries are absolute paths of child steps, an optional [n] index on a step (counted from 0
// among the children of that name) and an optional final @attribute step:
//   /FictionBook/description/title-info/author[0]/first-name
//   /FictionBook/description/title-info/sequence/@name
// Returns one answer per query, in order. Throws ReadError (error.h) when the file cannot be read or
// is not a well-formed document.
std::vector<Answer> first_children(const std::u16string &path, std::span<const std::u16string_view> queries,
                                   const Settings &settings = {});

// The same over a document in memory. chunk > 0 feeds the parser that many bytes at a time
// (where the back end parses incrementally); 0 hands it all at once.
std::vector<Answer> first_children_in(std::string_view document, std::span<const std::u16string_view> queries,
                                      size_t chunk = 0, const Settings &settings = {});

// Frees what reads keep from book to book (parsed queries, buffers, encoding tables). Only while no
// read runs: the library calls it when it is unloaded.
void release_caches();

} // namespace xmldoc
