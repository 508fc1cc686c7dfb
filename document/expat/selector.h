// The only code that speaks to Expat: one parser per read, fed piece by piece, with an element stack
// and per-parent name counters that decide at each start tag which queries select the element; the
// first selection in document order wins, and the text handlers are on only while a selected element
// waits for its first child (with a non-native encoding Expat converts every byte it hands to one).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "query.h"
#include "xmldoc.h"

namespace xmldoc::expat {

class Selector {
public:
    // explain: a failure's message tells where, as in the book; else its reason alone
    Selector(std::shared_ptr<const QuerySet> set, bool explain);
    ~Selector();
    Selector(const Selector &) = delete;
    Selector &operator=(const Selector &) = delete;

    // the encoding the book is read in, instead of the one its declaration names
    void set_encoding(const char *name);
    // turns Expat's reparse deferral on or off; false where this Expat has none, or refused
    bool defer(bool on);
    // the next bytes of the book (a CR first, when cr_first); throws ReadError at a fault
    void parse(std::string_view bytes, bool cr_first, bool last);
    // after a parse call, the byte index where the token it could not finish begins (or -1)
    int64_t open_token() const;
    // how far a column the parser gives stands from the book's, for a byte index of its input
    void columns_from(std::function<int64_t(uint64_t)> shift);

    std::vector<Answer> take_answers();

private:
    struct State;
    std::unique_ptr<State> s_;
};

// frees the parsers kept for reuse; only while no read runs
void release_parsers();

} // namespace xmldoc::expat
