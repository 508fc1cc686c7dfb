// The document layer's queries, parsed once: what each one selects, and which elements' content
// any of them can reach. Shared by the Expat selector and by the filter in front of either parser.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The elements whose content a query can reach: an element a query's element steps select, and
// everything inside it (indexes aside, so every one of several such siblings). The elements on the
// way there are only passed through: their own text is no query's answer, nor is anything outside.
class Reach {
public:
    // what an element is to the queries, found from its parent's
    using Node = int32_t;
    static constexpr Node document = 0;
    static constexpr Node none = -1;  // no query goes through it or into it
    static constexpr Node whole = -2; // a query selects it: all of it can be reached

    explicit Reach(std::span<const Query> queries);

    // the element named so under parent (an on-the-way node), names compared as written
    Node child(Node parent, std::string_view name) const;

private:
    struct Entry {
        Node parent;
        std::string name;
        Node node; // none never: an entry is a step of some query
    };
    std::vector<Entry> entries_;
    Node nodes_ = 1;
};

// The queries of one call, parsed, with what a reading needs to know of them. Parsed once per
// distinct set and kept for the life of the library (the reader always asks the same six); a few
// sets at most, so that no caller can make the list grow without end. At most 32 queries.
struct QuerySet {
    std::vector<std::u16string> texts;
    std::vector<Query> queries;
    Reach reach;
    std::vector<std::string> counted; // names that some query counts among siblings
    size_t max_depth = 0;             // the most element steps of a query

    explicit QuerySet(std::span<const std::u16string_view> texts);
};
std::shared_ptr<const QuerySet> query_set(std::span<const std::u16string_view> queries);

} // namespace xmldoc
