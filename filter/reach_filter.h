// The reach filter: sits between a document's bytes and its parser and leaves out what no query can
// reach. It follows just enough XML to tell character data from markup, with one lexer, and only
// where it knows what every byte is: UTF-8, US-ASCII, ISO-8859-*, windows-125*, koi8-r, koi8-u and
// cp866 by the BOM or the declaration. Another encoding, a document type whose internal subset
// declares anything (entities that expand to much text must be weighed against all of the book's
// bytes), markup its lexer does not follow, and in US-ASCII the first byte above it (a converter may
// read it as its low seven bits) turn it off for the rest of the document.
//
// It works in one of two ways (Rules::judge):
// - Exact. Inside the root but outside the elements the queries reach (reach.h), character data
//   proven to be characters of the document's encoding that the parser accepts goes to the parser as
//   its line breaks alone; markup, and everything in reachable elements, goes through as it is. So the
//   parser judges every tag, finds the document well-formed exactly when it is, and a fault keeps its
//   line; its column is found again by column_shift().
// - Judging. As exact, but line breaks are left out too, and so is every start and end tag outside
//   the reach that the filter proves the parsers take, with the stack of open elements: the parser
//   gets little more than the prolog, the root's tags, the path to what the queries reach, and that.
//   A fault the filter finds ends the read (outcome() says which); where it cannot judge it gives up,
//   and the document is read again the exact way, which is also how a failure's message is found.
//
// What the parsers check in markup, and how the judging filter proves it or passes the tag on:
// - A start tag's name (Expat: its name-character tables; the Windows object: XML names, and with
//   namespaces a prefix must be declared). Proven: ASCII letters, digits, '_', '-', '.', starting with
//   a letter or '_', at most 256 bytes. Passed on: a ':' (a prefix is the Windows object's to check),
//   a byte above ASCII (the parsers' tables for letters differ), a name starting with "xml" in any
//   case (reserved, and the parsers need not agree on it), a longer name (Wine's object refuses names
//   past 50,000 characters, Expat none).
// - White space: only the four XML space characters between the name and '>', "/>" or an attribute;
//   anything else after the name is not a tag the lexer follows (the document is read the exact way).
// - "/>": an empty element, proven as such; a '/' anywhere else is not followed.
// - Attributes (quoted values, no '<' in them, references, distinct names, namespace declarations):
//   never proven; a tag with any attribute goes to the parser, and so does its end tag.
// - An end tag's name equal to the open element's: compared byte for byte where the start tag was
//   left out (else the filter fails the read: "mismatched tag"); where the start tag went to the
//   parser, the end tag goes too and the parser compares them.
// - An end tag with no element open, and '<' where no tag can start: the filter fails the read.
// - What may follow the root: the filter passes the prolog and what follows the root as they are.
// - Depth: Expat has no bound; Wine's object refuses elements nested past 256. The filter judges
//   elements down to a depth of 128 and gives up below that, so every parser sees a deep book whole.
// - Where a tag goes on: a tag that goes to the parser inside elements left out is a child, to the
//   parser, of the element on a query's way they stood in; named as a query's step there it would be
//   taken for what the query selects, and the filter gives up.
// - US-ASCII: the first byte above it turns the filter off; past a tag left out, it gives up.
// - Character data left out: as the exact filter (proven characters only; references, ']' and
//   anything unproven go to the parser with what it must see beside them).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reach.h"
#include "simd.h"

namespace filter {

// what the parser counts in a column: Expat characters, the Windows object UTF-16 code units
enum class Columns : uint8_t { characters, utf16_units };

// The code point of each byte 80 to FF of the single-byte encoding a document names, 0 where the
// encoding defines none, as the parser behind the filter takes them; empty when that parser does not
// know the encoding as single-byte. Given by the document layer, whose parser it describes.
using UpperHalf = std::optional<std::array<char32_t, 128>> (*)(std::string_view encoding);

// how a document is filtered
struct Rules {
    const Reach *reach = nullptr;          // what may not be left out, kept by the caller; null passes everything
    Columns columns = Columns::characters; // how the parser counts a column
    UpperHalf upper_half = nullptr;        // null: no single-byte encoding is filtered
    bool judge = false;                    // leave out the markup it proves, and line breaks
    // the widest vectors it may use (as far as the processor goes): tests compare every width
    simd::Level widest = simd::Level::avx2;
};

// where a judging filter stands
enum class Outcome : uint8_t {
    going,   // nothing found: what it gave goes to the parser
    fault,   // it found a fault the parsers find too: the read fails (fault() says which)
    gave_up, // it cannot judge this document: read it again the exact way
};

class ReachFilter {
public:
    explicit ReachFilter(const Rules &rules);

    // the most bytes held back from one piece for the next: a character or a tag the piece cuts
    static constexpr size_t max_held = 1024;

    // Filters the n bytes of the document at piece in place and returns what goes to the parser.
    // piece has max_held bytes of room before it, where what was held back from the last piece goes
    // ahead of its own bytes. last: no bytes follow, so nothing is held back.
    std::string_view filter(char *piece, size_t n, bool last);

    // false once everything goes through unchanged for the rest of the document
    bool active() const { return state_ != State::off; }
    Outcome outcome() const { return outcome_; }
    // the fault found, in the parser's words, when outcome() is fault
    const char *fault() const { return fault_; }
    // the document is read as UTF-8 (so far: a declaration may still say otherwise)
    bool utf8() const { return encoding_ == Encoding::utf8; }

    // Text left out, for finding positions again: from output offset `at` on, a position on the same
    // line stands `columns` further right in the document (less where a space stands in).
    struct Drop {
        uint64_t at;
        int64_t columns;
    };
    // every later drop is appended to drops (null: none are kept, the default)
    void record(std::vector<Drop> *drops) { drops_ = drops; }

private:
    // the lexer's states: where in the document's markup the next byte stands
    enum class State : uint8_t {
        start,       // nothing read yet
        bom_1,       // after EF
        bom_2,       // after EF BB
        prolog,      // outside the root: white space and markup only
        text,        // content
        lt,          // after '<'
        start_name,  // a start tag's name
        tag,         // a start tag after its name
        tag_quoted,  // an attribute value
        tag_slash,   // '/' in a start tag
        end_tag,     // after "</"
        bang,        // after "<!"
        bang_dash,   // after "<!-"
        comment,
        comment_dash,
        comment_dashes,
        cdata_open,  // inside "<![CDATA["
        cdata,
        cdata_bracket,
        cdata_brackets,
        pi_target,
        pi,
        pi_question,
        doctype_open, // inside "<!DOCTYPE"
        doctype,
        doctype_quoted,
        subset,       // the internal subset
        subset_lt,    // '<' in the internal subset
        subset_end,   // after the subset's ']'
        off,
    };
    enum class Encoding : uint8_t { utf8, seven_bit, single_byte };

    // where in a piece the filter reads (r) and writes (w, never past r), up to n
    struct Cursor {
        unsigned char *b;
        size_t n, r, w;
        // the bytes from r up to e go on as they are
        void pass_to(size_t e);
    };

    // what left-out text carries from byte to byte and from piece to piece
    struct Text {
        bool cr_last = false;      // the last byte written ends a line with a CR
        bool spaced = false;       // a space stands in for the first character left out since then
        bool in_reference = false; // after '&': up to and with the byte that ends the name
        uint8_t keep = 0;          // bytes kept as they are whatever they are
        int64_t columns = 0;       // columns left out since the last byte written
    };

    // an element on the judging filter's stack: whether its start tag was left out, and then where
    // its name ends in names_
    struct Open {
        uint32_t name_end;
        bool left_out;
    };
    static constexpr size_t max_depth = 128;
    static constexpr size_t npos = static_cast<size_t>(-1);

    void markup(Cursor &c);
    void end_markup(Cursor &c, State next);
    void content(Cursor &c);
    template <bool mapping> void left_out(Cursor &c);
    template <bool mapping, bool utf8, bool lines> void left_out_sse2(Cursor &c);
    template <bool mapping, bool utf8, bool lines> void left_out_avx2(Cursor &c);
    template <bool mapping, class S, bool utf8, bool lines> void left_out_blocks(Cursor &c);
    template <bool mapping> bool step(Cursor &c);
    void tag_begins(Cursor &c);
    bool declaration_ok();
    bool open_element(std::string_view name);
    bool empty_element(std::string_view name);
    bool close_element(std::string_view name);
    void name_bytes(const unsigned char *p, size_t n);
    void end_name_bytes(const unsigned char *p, size_t n);
    bool whole_tag(Cursor &c);
    void hold_tag(Cursor &c);
    bool hold_rest(Cursor &c);
    bool lifted(size_t through, std::string_view name) const;
    void found(const char *fault);
    void give_up();
    unsigned char written_before(const Cursor &c, size_t k) const;
    void note(size_t w);

    const Reach *reach_;
    Columns columns_;
    UpperHalf upper_half_;
    bool judge_;
    simd::Level widest_;
    Outcome outcome_ = Outcome::going;
    const char *fault_ = nullptr;
    State state_;
    Encoding encoding_ = Encoding::utf8;
    std::array<uint8_t, 256> classes_; // the character classes, with char_text on the upper half's proven bytes
    unsigned high_from_ = 0x100;      // every byte from here up is proven (single-byte encodings)
    unsigned char quote_ = 0;
    bool at_start_ = true;     // nothing but a BOM read yet
    bool declaration_ = false; // the processing instruction being read is the XML declaration
    bool root_seen_ = false;
    bool doctype_seen_ = false;
    bool in_subset_ = false;
    Text text_;
    size_t depth_ = 0;
    size_t absorbed_ = 0;       // the depth whose element no query goes into, or that one selects; 0: none
    Reach::Node node_ = Reach::document; // the open element's
    std::vector<Reach::Node> path_;      // the open elements on some query's way, from the root
    size_t matched_ = 0;        // bytes of a keyword or target matched so far
    char target_[3] = {};       // a processing instruction's target, its first bytes
    std::string name_;          // a start tag's name, where its parent is on some query's way
    bool name_wide_ = false;    // the name has bytes above ASCII in a single-byte encoding
    std::string declared_;      // the XML declaration's text after "<?xml", while it is read
    // judging: the open elements, the names of those whose start tag was left out back to back, and
    // the tag being read: where it begins in this piece's output (npos: in an earlier piece), and
    // whether it may be left out so far
    std::vector<Open> open_;
    std::string names_;
    size_t tag_w_ = npos;
    bool droppable_ = false;
    bool separates_ = false;    // it stands between bytes the parser must not see joined
    bool held_separates_ = false; // and so did the tag held back from the last piece
    bool dropped_any_ = false;  // a tag was left out: from here the filter may not just turn off
    bool end_spaced_ = false;   // an end tag's name has ended at white space
    bool end_junk_ = false;     // and something other than white space followed
    std::array<unsigned char, max_held> held_; // (only its first held_size_ bytes are ever read)
    size_t held_size_ = 0;
    unsigned char tail_[2] = {}; // the last two bytes given to the parser before this piece
    bool last_ = false;          // the piece being filtered ends the document
    // for finding positions again
    std::vector<Drop> *drops_ = nullptr;
    uint64_t out_ = 0;           // bytes given to the parser before this piece
};

// Finds a position again. read(buf, n) gives the next bytes of the document from its start (fewer
// than n only at its end). Returns how many columns further right than the parser says the position
// stands in the document: for the position at output offset `at` (Expat's byte index), or for the
// one at line and column (both from 1, as the Windows object gives them). Only a failure pays for it.
using Reader = std::function<size_t(char *buf, size_t n)>;
int64_t column_shift(const Rules &rules, const Reader &read, uint64_t at);
int64_t column_shift(const Rules &rules, const Reader &read, uint64_t line, uint64_t column);

} // namespace filter
