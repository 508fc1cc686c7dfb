// The image filter: sits between a document's bytes and its parser and keeps base64 images out of
// the parser. In the content of the named element, from its start tag up to the next '<', a complete
// line of nothing but base64 characters, spaces and tabs goes through as its line break alone; every
// other byte goes through unchanged. So lines and columns after an image stay where they were, and
// the parser finds the document well-formed exactly when it is.
//
// It knows just enough XML to tell element content from markup (tags and quoted attribute values,
// comments, CDATA sections, processing instructions, the XML declaration, a DOCTYPE whose internal
// subset declares nothing), and works only where those bytes stand for themselves: UTF-8, US-ASCII, ISO-8859-*,
// windows-125*, koi8-r, koi8-u and cp866 by the BOM or the declaration. Anything else, and anything
// its lexer does not follow, turns it off for the rest of the document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace xmldoc {

class ImageFilter {
public:
    // bytes held back at most: the characters of an unfinished line and the CR that may end it;
    // a longer line goes through as spaces. Lines of base64 are 64 or 76 characters as a rule; the
    // bound is only the room a caller's buffer keeps beyond each piece, since what is held back is
    // a count, not a copy.
    static constexpr size_t max_held = 4096;

    // element: the name whose content is filtered, compared as written; empty filters nothing
    explicit ImageFilter(std::string_view element);

    // Filters the next n bytes of the document in place and returns how many bytes at buf now go
    // to the parser. buf must have room for n + max_held bytes: characters held back from earlier
    // pieces may come out as spaces ahead of this piece's bytes. last: no bytes follow; call it
    // once more with n == 0 if the end was not known with the last piece.
    size_t filter(char *buf, size_t n, bool last);

    // false once the filter passes everything through for the rest of the document: nothing to
    // filter, an encoding it does not work in, or markup it does not follow
    bool active() const { return state_ != State::off; }

private:
    enum class State : uint8_t {
        bom,         // first byte of the document
        bom_1,       // after EF
        bom_2,       // after EF BB
        text,        // character data, or white space outside the root element
        lt,          // after '<'
        start_name,  // the name in a start tag
        tag,         // a start tag after its name
        tag_quoted,  // an attribute value
        tag_slash,   // '/' in a start tag
        end_tag,     // an end tag after "</"
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
        run,          // the named element's content, lines of base64 so far
        off,
    };

    bool declaration_ok() const;
    void open_element();
    bool plain_tags(unsigned char *b, size_t n, size_t &r, size_t &w);

    std::string element_;
    State state_;
    unsigned char quote_ = 0;
    bool at_start_ = true;    // nothing but a BOM read yet
    bool declaration_ = false; // the processing instruction being read is the XML declaration
    bool root_seen_ = false;
    bool doctype_seen_ = false;
    bool in_subset_ = false;
    bool name_matches_ = false; // the start tag's name is the element's so far
    bool long_line_ = false;    // the run's line outgrew max_held and goes through as spaces
    bool after_cr_ = false;     // the run's line follows a CR
    bool cr_held_ = false;      // the last piece ended with the CR of a line left out
    size_t depth_ = 0;
    size_t matched_ = 0;        // bytes of a keyword, name or target matched so far
    size_t held_ = 0;           // characters of the run's unfinished line held back
    char target_[3] = {};       // a processing instruction's target, its first bytes
    std::string declared_;      // the XML declaration's text after "<?xml", while it is read
};

} // namespace xmldoc
