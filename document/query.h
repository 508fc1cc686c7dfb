// The document layer's queries, parsed once: what each one selects, and which elements' content
// any of them can reach (for the filter in front of either parser).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "reach.h"

namespace xmldoc {

struct Step {
    std::string name; // as written in a book, in UTF-8
    int index = -1;   // [n] among the children of that name, or -1 for all
};

struct Query {
    std::vector<Step> elements; // the element steps, from the root
    std::string attribute;      // the final @name step, if any
};

// "/a/b[2]/@c": child steps from the document, an optional [n] on a step, an optional final
// attribute. Throws std::invalid_argument for anything else: queries are the program's, not a book's.
Query parse_query(std::u16string_view text);

// The queries of one call, parsed, with what a reading needs to know of them. Parsed once per
// distinct set and kept for the life of the library (the reader always asks the same six); a few
// sets at most, so that no caller can make the list grow without end. At most 32 queries.
struct QuerySet {
    std::vector<std::u16string> texts;
    std::vector<Query> queries;
    filter::Reach reach;               // the elements whose content they can reach
    std::vector<std::string> counted; // names that some query counts among siblings
    size_t max_depth = 0;             // the most element steps of a query

    explicit QuerySet(std::span<const std::u16string_view> texts);
};
std::shared_ptr<const QuerySet> query_set(std::span<const std::u16string_view> queries);
// forgets the sets kept; only while no read runs
void release_query_sets();

} // namespace xmldoc
