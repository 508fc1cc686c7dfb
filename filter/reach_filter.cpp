#include "reach_filter.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "blocks.h"
#include "chars.h"
#include "simd.h"

namespace filter {

namespace {

// the first c from r on, or n
size_t find_byte(const unsigned char *b, size_t r, size_t n, unsigned char c) {
    const void *at = std::memchr(b + r, c, n - r);
    return at ? static_cast<size_t>(static_cast<const unsigned char *>(at) - b) : n;
}

// the bytes from p (n of them) that are all c
size_t span_of_byte(const unsigned char *p, size_t n, unsigned char c) {
    size_t e = 0;
    while (e < n && p[e] == c) ++e;
    return e;
}

size_t first_high(const unsigned char *b, size_t r, size_t n) {
    while (r < n && b[r] < 0x80) ++r;
    return r;
}

unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

bool starts_with_letters(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && same_letters(s.substr(0, prefix.size()), prefix);
}

// the single-byte encodings whose ASCII bytes are that character and never part of another
bool single_byte(std::string_view name) {
    for (std::string_view n : {"KOI8-R", "KOI8-U", "cp866", "IBM866"})
        if (same_letters(name, n)) return true;
    if (starts_with_letters(name, "windows-125")) return name.size() == 12 && name[11] >= '0' && name[11] <= '8';
    if (starts_with_letters(name, "ISO-8859-")) {
        const std::string_view part = name.substr(9);
        int number = 0;
        if (part.empty() || part.size() > 2 || part[0] == '0') return false;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            number = number * 10 + (c - '0');
        }
        return number >= 1 && number <= 16 && number != 12; // ISO-8859-12 was never published
    }
    return false;
}

constexpr std::string_view cdata_keyword = "[CDATA[";
constexpr std::string_view doctype_keyword = "DOCTYPE";
constexpr size_t max_declaration = 256;
constexpr size_t max_name = 256; // longer names are kept, not compared

// a name the XML recommendation keeps for itself: the parsers need not agree on it
bool reserved(std::string_view name) {
    return name.size() >= 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' && (name[2] | 0x20) == 'l';
}

} // namespace

// ---- the filter

ReachFilter::ReachFilter(const Rules &rules)
    : reach_(rules.reach), columns_(rules.columns), upper_half_(rules.upper_half), judge_(rules.judge && rules.reach),
      widest_(std::min(rules.widest, simd::best())), state_(rules.reach ? State::start : State::off), classes_(char_classes) {
    // judging, a line break is left out as any other character: no position is found again
    if (judge_) {
        classes_['\n'] |= char_text;
        classes_['\r'] |= char_text;
        open_.reserve(max_depth);
    }
}

inline void ReachFilter::Cursor::pass_to(size_t e) {
    if (w != r) {
        // (most spans are a tag's few bytes: a loop beats a call; w is never past r, so forwards)
        if (e - r < 32) {
            unsigned char *to = b + w;
            const unsigned char *from = b + r, *const end = b + e;
            // eight at a time where no chunk written reaches a byte not yet read
            if (r - w >= 8)
                for (; end - from >= 8; from += 8, to += 8) std::memcpy(to, from, 8);
            while (from < end) *to++ = *from++;
        } else {
            std::memmove(b + w, b + r, e - r);
        }
    }
    w += e - r;
    r = e;
}

// what was left out since the last write, noted where the next byte goes (w in this piece)
void ReachFilter::note(size_t w) {
    if (drops_ && (text_.columns != 0 || text_.spaced))
        drops_->push_back({out_ + w, text_.columns - (text_.spaced ? 1 : 0)});
    text_.columns = 0;
    text_.spaced = false;
}

void ReachFilter::found(const char *fault) {
    outcome_ = Outcome::fault;
    fault_ = fault;
    state_ = State::off;
}

void ReachFilter::give_up() {
    outcome_ = Outcome::gave_up;
    state_ = State::off;
}

// A '<' of content goes on at w: judging, a tag from here may be left out while it is proven so.
// A tag left out joins what stands on either side of it: after a ']', a lead byte or a reference the
// parser takes the next bytes with them (a "]]>", a character, a name), so such a tag must stay.
inline void ReachFilter::tag_begins(Cursor &c) {
    tag_w_ = c.w;
    // (a tag held back from the last piece kept what it found there)
    separates_ = std::exchange(held_separates_, false) || text_.keep > 0 || text_.in_reference;
    droppable_ = judge_ && !separates_;
    name_.clear();
    name_wide_ = false;
}

// A start tag ends: the element opens, the lexer goes on in its content. True when the tag is to be
// left out (judging: proven, no query goes into the element, not the root).
bool ReachFilter::open_element(std::string_view name) {
    const Reach::Node parent = node_;
    ++depth_;
    root_seen_ = true;
    if (node_ >= 0) {
        node_ = name_wide_ ? Reach::whole : reach_->child(node_, name);
        if (node_ >= 0) path_.push_back(node_);
        else absorbed_ = depth_;
    }
    if (!judge_) return false;
    if (open_.size() >= max_depth) {
        give_up();
        return false;
    }
    const bool drop =
        droppable_ && !name_wide_ && node_ == Reach::none && tag_w_ != npos && depth_ > 1 && !reserved(name);
    if (!drop && parent == Reach::none && lifted(depth_ - 1, name)) {
        give_up();
        return false;
    }
    if (drop) names_ += name;
    open_.push_back({static_cast<uint32_t>(names_.size()), drop});
    dropped_any_ = dropped_any_ || drop;
    return drop;
}

// "/>" ends a start tag: an element without content, left out as its start tag would be
bool ReachFilter::empty_element(std::string_view name) {
    root_seen_ = true; // an empty element has no content, an empty root neither
    if (!judge_) return false;
    const bool drop = droppable_ && !name_wide_ && tag_w_ != npos && depth_ > 0 && !reserved(name) &&
                      (node_ < 0 ? node_ : reach_->child(node_, name)) == Reach::none;
    if (!drop && node_ == Reach::none && lifted(depth_, name)) {
        give_up();
        return false;
    }
    dropped_any_ = dropped_any_ || drop;
    return drop;
}

// A tag that goes to the parser inside elements no query goes into: where every one of those, from
// the first, was left out, the parser sees it as a child of the element on some query's way they
// stood in, and one a query's step there names would be taken for a node it selects (true). Only
// an element named otherwise may stand there. through: the depth of the tag's parent.
bool ReachFilter::lifted(size_t through, std::string_view name) const {
    for (size_t d = absorbed_; d <= through; ++d)
        if (!open_[d - 1].left_out) return false;
    // (a name not compared: too long for any a path names, or one a single-byte encoding's letters spell)
    if (name_wide_) return encoding_ != Encoding::utf8 || reach_->longest() >= max_name;
    return reach_->child(path_.empty() ? Reach::document : path_.back(), name) != Reach::none;
}

// An end tag ends: the element closes. Judging, one whose start tag was left out must have this
// name, and its end tag is left out too (true); a fault ends the read.
bool ReachFilter::close_element(std::string_view name) {
    bool drop = false;
    if (judge_) {
        if (open_.empty()) {
            found("mismatched tag");
            return false;
        }
        const Open top = open_.back();
        open_.pop_back();
        const size_t start = open_.empty() ? 0 : open_.back().name_end;
        if (top.left_out) {
            const std::string_view opened(names_.data() + start, top.name_end - start);
            if (end_junk_ || name_wide_ || name != opened) {
                found(end_junk_ ? "not well-formed (invalid token)" : "mismatched tag");
                return false;
            }
            // (its start went, and the tag could not be held back whole, or it must stay between
            // what it separates)
            if (tag_w_ == npos || separates_) {
                give_up();
                return false;
            }
            drop = true;
            dropped_any_ = true;
        }
        names_.resize(start);
    }
    if (absorbed_ == depth_) {
        absorbed_ = 0;
        node_ = path_.empty() ? Reach::document : path_.back();
    } else if (absorbed_ == 0) {
        path_.pop_back();
        node_ = path_.empty() ? Reach::document : path_.back();
    }
    --depth_;
    state_ = depth_ > 0 ? State::text : State::prolog;
    return drop;
}

// an end tag's bytes before its '>': its name, then white space only
void ReachFilter::end_name_bytes(const unsigned char *p, size_t n) {
    size_t k = 0;
    if (!end_spaced_) {
        k = span_not(p, n, char_space);
        name_bytes(p, k);
        end_spaced_ = k < n;
    }
    if (span_of(p + k, n - k, char_space) != n - k) end_junk_ = true;
}

// After '<' in the root's content: a start tag of a name and white space, an empty-element tag as
// well, or an end tag of a name and white space, whole in the piece, taken as the states would take
// it byte by byte (the same steps: name_bytes, end_name_bytes, open, empty or close, end_markup); left
// out without a byte written where it is proven so. False for anything else, which the states take.
bool ReachFilter::whole_tag(Cursor &c) {
    const unsigned char *p = c.b + c.r;
    const size_t left = c.n - c.r;
    const bool end = left > 0 && p[0] == '/';
    size_t i = end ? 1 : 0;
    if (i >= left || !is(p[i], char_name_start)) return false;
    const size_t name = i;
    i += span_of(p + i, left - i, char_plain);
    const size_t plain = i - name; // (a name every parser takes alike, as most are, is read once)
    i += span_of(p + i, left - i, char_name);
    const size_t name_end = i;
    i += span_of(p + i, left - i, char_space);
    if (i >= left) return false;
    const bool empty = !end && p[i] == '/';
    if (empty ? i + 1 >= left || p[i + 1] != '>' : p[i] != '>') return false;
    const size_t gt = empty ? i + 1 : i;
    // the name as name_bytes keeps it, but in place
    const std::string_view tag_name(reinterpret_cast<const char *>(p + name), name_end - name);
    droppable_ = droppable_ && plain == tag_name.size();
    name_wide_ = tag_name.size() > max_name || (encoding_ != Encoding::utf8 && plain < tag_name.size() &&
                                                std::any_of(tag_name.begin(), tag_name.end(), [](char b) { return b & 0x80; }));
    end_spaced_ = end_junk_ = false;
    const bool drop = end ? close_element(tag_name) : empty ? empty_element(tag_name) : open_element(tag_name);
    if (outcome_ != Outcome::going) return true;
    const State next = end ? state_ : empty && depth_ == 0 ? State::prolog : State::text;
    if (drop) {
        c.r += gt + 1;
        c.w = tag_w_;
        state_ = next;
        return true;
    }
    c.pass_to(c.r + gt);
    end_markup(c, next);
    return true;
}

// At the end of a piece, judging, inside a tag that may yet be left out: its bytes so far are held
// back and read again with the next piece, so that the whole tag is judged at once. One too long to
// hold goes to the parser if it can; the end tag of an element whose start tag was left out cannot.
void ReachFilter::hold_tag(Cursor &c) {
    const bool start = state_ == State::start_name || state_ == State::tag || state_ == State::tag_slash;
    const bool end = state_ == State::end_tag;
    if (!start && !end && state_ != State::lt) return;
    if (start && !droppable_) return; // it goes to the parser whatever follows
    const size_t size = c.w - tag_w_;
    if (size <= held_.size()) {
        std::memcpy(held_.data(), c.b + tag_w_, size);
        held_size_ = size;
        held_separates_ = separates_;
        c.w = tag_w_;
        state_ = State::text;
        return;
    }
    droppable_ = false;
    if (end && !open_.empty() && open_.back().left_out) give_up();
}

// The rest of the piece, from c.r, is judged with the next piece: held back, to stand in the room
// before it. False where it is too long to hold.
bool ReachFilter::hold_rest(Cursor &c) {
    const size_t size = c.n - c.r;
    if (size > held_.size()) return false;
    std::memcpy(held_.data(), c.b + c.r, size);
    held_size_ = size;
    c.r = c.n;
    return true;
}

// a start or end tag's name, or part of it: kept for the reach and the stack where it can be compared
void ReachFilter::name_bytes(const unsigned char *p, size_t n) {
    if (droppable_) droppable_ = span_of(p, n, char_plain) == n;
    if (name_wide_) return;
    // in a single-byte encoding a name above ASCII is not compared: its element is kept; nor is a name
    // longer than any a query may name
    if (name_.size() + n > max_name) {
        name_wide_ = true;
        return;
    }
    if (encoding_ != Encoding::utf8)
        for (size_t i = 0; i < n; ++i)
            if (p[i] >= 0x80) {
                name_wide_ = true;
                return;
            }
    name_.append(reinterpret_cast<const char *>(p), n);
}

// the byte given to the parser k places before the next one (k from 1), this piece's or the last's
inline unsigned char ReachFilter::written_before(const Cursor &c, size_t k) const {
    if (k <= c.w) return c.b[c.w - k];
    const size_t back = k - c.w; // 1 or 2
    return back <= 2 ? tail_[2 - back] : 0;
}

// The '>' at r ends a piece of markup: it goes on, and the lexer goes on in state next. Where text to
// be left out follows, the bytes that a lead byte just before the '>' announces past it go on as they
// are: the parser judges the lead with them, and finds the same fault there as in the whole book.
inline void ReachFilter::end_markup(Cursor &c, State next) {
    c.b[c.w++] = c.b[c.r++];
    state_ = next;
    if (next != State::text || node_ == Reach::whole || encoding_ != Encoding::utf8) return;
    // (only a lead of three bytes or more right before the '>', or one of four before that, reaches past it)
    const unsigned char one = written_before(c, 2), two = written_before(c, 3);
    if (one < 0xE0 && two < 0xF0) return;
    for (const auto &[lead, d] : {std::pair{one, size_t{1}}, std::pair{two, size_t{2}}}) {
        const size_t with = judged_with(lead);
        if (with > d + 1) text_.keep = std::max(text_.keep, static_cast<uint8_t>(with - 1 - d));
    }
}

// the text after "<?xml": pseudo-attributes, each after white space; only the encoding matters
bool ReachFilter::declaration_ok() {
    const std::string_view s = declared_;
    bool encoding_given = false;
    std::string_view encoding;
    size_t i = 0;
    const auto skip_space = [&] {
        while (i < s.size() && is(static_cast<unsigned char>(s[i]), char_space)) ++i;
    };
    for (;;) {
        const size_t before = i;
        skip_space();
        if (i == s.size()) break;
        if (i == before) return false;
        const size_t name_at = i;
        while (i < s.size() && is(static_cast<unsigned char>(s[i]), char_letter)) ++i;
        const std::string_view name = s.substr(name_at, i - name_at);
        skip_space();
        if (i == s.size() || s[i] != '=') return false;
        ++i;
        skip_space();
        if (i == s.size() || (s[i] != '"' && s[i] != '\'')) return false;
        const size_t close = s.find(s[i], i + 1);
        if (close == std::string_view::npos) return false;
        const std::string_view value = s.substr(i + 1, close - i - 1);
        i = close + 1;
        if (name == "encoding") {
            encoding_given = true;
            encoding = value;
        } else if (name != "version" && name != "standalone") {
            return false;
        }
    }
    if (!encoding_given || same_letters(encoding, "UTF-8")) return true; // none named: UTF-8
    if (same_letters(encoding, "US-ASCII")) {
        // the first byte above ASCII ends filtering: a converter may read it as its low seven bits
        encoding_ = Encoding::seven_bit;
        return true;
    }
    if (!single_byte(encoding) || !upper_half_) return false;
    // the upper half as the parser takes it: letters and signs, never the C1 controls a code page
    // may give its undefined bytes
    const auto half = upper_half_(encoding);
    if (!half) return false;
    encoding_ = Encoding::single_byte;
    high_from_ = 0x100;
    for (size_t b = 0; b < half->size(); ++b) {
        const char32_t c = (*half)[b];
        if (c >= 0xA0 && (c < 0xD800 || c > 0xDFFF) && c != 0xFFFE && c != 0xFFFF && c != 0xFFFD)
            classes_[0x80 + b] |= char_text;
    }
    while (high_from_ > 0x80 && (classes_[high_from_ - 1] & char_text)) --high_from_;
    return true;
}

// ---- the lexer: markup, and the prolog around the root, from state_ on. It stops where content
// begins (state text), at the end of the bytes, or where it turns the filter off.

void ReachFilter::markup(Cursor &c) {
    unsigned char *const b = c.b;
    const auto to_next = [&](unsigned char byte) {
        c.pass_to(find_byte(b, c.r, c.n, byte));
        return c.r < c.n;
    };
    const auto after_markup = [&] { return in_subset_ ? State::subset : depth_ > 0 ? State::text : State::prolog; };

    while (c.r < c.n) {
        const unsigned char ch = b[c.r];
        switch (state_) {
        case State::start:
            if (ch == 0xEF) {
                state_ = State::bom_1;
                break;
            }
            // a UTF-16 or UTF-32 BOM, or 3C 00 / 00 3C of UTF-16 without one
            if (ch == 0xFE || ch == 0xFF || ch == 0x00) {
                state_ = State::off;
                return;
            }
            state_ = State::prolog;
            continue;
        case State::bom_1:
            state_ = ch == 0xBB ? State::bom_2 : State::off;
            break;
        case State::bom_2:
            state_ = ch == 0xBF ? State::prolog : State::off;
            break;

        case State::prolog:
            if (ch == '<') {
                state_ = State::lt;
                droppable_ = separates_ = false; // (the root's tags, and whatever stands outside it, go on)
                tag_w_ = npos;
            } else if (is(ch, char_space)) {
                at_start_ = false;
            } else {
                state_ = State::off;
                return;
            }
            break;
        case State::text:
        case State::off:
            return;

        case State::lt: {
            // a tag of the root's content that lies whole in the piece, in a form the states below
            // take alike: at once
            if (depth_ > 0 && whole_tag(c)) {
                if (state_ == State::text || outcome_ != Outcome::going) return;
                continue;
            }
            const bool first = at_start_;
            at_start_ = false;
            if (ch == '/') {
                state_ = depth_ > 0 ? State::end_tag : State::off;
                name_.clear();
                name_wide_ = end_spaced_ = end_junk_ = false;
            } else if (ch == '?') {
                state_ = State::pi_target;
                matched_ = 0;
                declaration_ = first;
            } else if (ch == '!') {
                state_ = State::bang;
            } else if (is(ch, char_name_start) && !(depth_ == 0 && root_seen_)) {
                state_ = State::start_name;
                name_.clear();
                name_wide_ = false;
                continue; // the first letter of the name
            } else {
                state_ = State::off;
            }
            if (state_ == State::off) {
                // an end tag with no element open, a second root, or '<' where no tag can start, in
                // the root or after it (before it, a zero byte after '<' is UTF-16 without a BOM)
                if (judge_ && root_seen_)
                    found(depth_ == 0 && is(ch, char_name_start) ? "junk after document element" : "not well-formed (invalid token)");
                return;
            }
            break;
        }

        // a start tag: its name, then attributes (names, '=', quoted values: the parser judges them),
        // then '>' or "/>"
        case State::start_name: {
            const size_t e = c.r + span_of(b + c.r, c.n - c.r, char_name);
            if (node_ >= 0 || judge_) name_bytes(b + c.r, e - c.r);
            c.pass_to(e);
            if (c.r == c.n) return;
            const unsigned char d = b[c.r];
            if (is(d, char_space)) {
                state_ = State::tag;
            } else if (d == '/') {
                state_ = State::tag_slash;
            } else if (d == '>') {
                const bool drop = open_element(name_);
                if (outcome_ != Outcome::going) return;
                end_markup(c, State::text);
                if (drop) c.w = tag_w_;
                return;
            } else {
                state_ = State::off;
                return;
            }
            break;
        }
        case State::tag: {
            const size_t e = c.r + span_not(b + c.r, c.n - c.r, char_tag_stop);
            // (anything but white space is an attribute: the parser's to judge)
            if (droppable_ && span_of(b + c.r, e - c.r, char_space) != e - c.r) droppable_ = false;
            c.pass_to(e);
            if (c.r == c.n) return;
            if (b[c.r] == '"' || b[c.r] == '\'') {
                quote_ = b[c.r];
                state_ = State::tag_quoted;
                droppable_ = false;
            } else if (b[c.r] == '>') {
                const bool drop = open_element(name_);
                if (outcome_ != Outcome::going) return;
                end_markup(c, State::text);
                if (drop) c.w = tag_w_;
                return;
            } else if (b[c.r] == '/') {
                state_ = State::tag_slash;
            } else {
                state_ = State::off; // '<'
                return;
            }
            break;
        }
        case State::tag_quoted:
            if (!to_next(quote_)) return;
            state_ = State::tag;
            break;
        case State::tag_slash:
            if (ch != '>') {
                state_ = State::off;
                return;
            }
            {
                const bool drop = empty_element(name_);
                if (outcome_ != Outcome::going) return;
                end_markup(c, depth_ > 0 ? State::text : State::prolog);
                if (drop) c.w = tag_w_;
            }
            if (state_ == State::text) return;
            continue;
        // an end tag: its name and white space (the parser judges them), then '>'
        case State::end_tag: {
            const size_t e = c.r + span_not(b + c.r, c.n - c.r, char_end_stop);
            if (judge_) end_name_bytes(b + c.r, e - c.r);
            c.pass_to(e);
            if (c.r == c.n) return;
            if (b[c.r] != '>') {
                state_ = State::off;
                return;
            }
            const bool drop = close_element(name_);
            if (outcome_ != Outcome::going) return;
            end_markup(c, state_);
            if (drop) c.w = tag_w_;
            if (state_ == State::text) return;
            continue;
        }

        case State::bang:
            if (ch == '-') state_ = State::bang_dash;
            else if (ch == '[' && depth_ > 0) state_ = State::cdata_open, matched_ = 1;
            else if (ch == 'D' && depth_ == 0 && !root_seen_ && !doctype_seen_ && !in_subset_)
                state_ = State::doctype_open, matched_ = 1;
            // a declaration in the internal subset may make entities that expand to far more than
            // the book's bytes: Expat weighs that against the bytes it is given, so it must have all
            else state_ = State::off;
            if (state_ == State::off) return;
            break;
        case State::bang_dash:
            if (ch != '-') {
                state_ = State::off;
                return;
            }
            state_ = State::comment;
            break;
        // a comment: "--" ends it and nothing else
        case State::comment:
            if (!to_next('-')) return;
            state_ = State::comment_dash;
            break;
        case State::comment_dash:
            state_ = ch == '-' ? State::comment_dashes : State::comment;
            break;
        case State::comment_dashes:
            if (ch != '>') {
                state_ = State::off;
                return;
            }
            end_markup(c, after_markup());
            if (state_ == State::text) return;
            continue;

        case State::cdata_open:
            if (ch != static_cast<unsigned char>(cdata_keyword[matched_])) {
                state_ = State::off;
                return;
            }
            if (++matched_ == cdata_keyword.size()) state_ = State::cdata;
            break;
        case State::cdata:
            if (!to_next(']')) return;
            state_ = State::cdata_bracket;
            break;
        case State::cdata_bracket:
            state_ = ch == ']' ? State::cdata_brackets : State::cdata;
            break;
        case State::cdata_brackets:
            if (ch == '>') {
                end_markup(c, State::text);
                return;
            }
            if (ch != ']') state_ = State::cdata;
            break;

        // a processing instruction: a target, then anything up to "?>"; the XML declaration's text is
        // kept, for its encoding
        case State::pi_target:
            if (is(ch, char_name) && (matched_ > 0 || is(ch, char_name_start))) {
                if (matched_ < 3) target_[matched_] = static_cast<char>(ch);
                ++matched_;
                break;
            }
            if (matched_ == 0) {
                state_ = State::off;
                return;
            }
            {
                const std::string_view target(target_, matched_ < 3 ? matched_ : 3);
                if (matched_ == 3 && same_letters(target, "xml")) {
                    // the declaration, exactly so and only at the very start; a reserved name elsewhere
                    if (!declaration_ || target != "xml" || !is(ch, char_space)) {
                        state_ = State::off;
                        return;
                    }
                    declared_.clear();
                } else {
                    declaration_ = false;
                }
            }
            if (is(ch, char_space)) {
                state_ = State::pi;
            } else if (ch == '?') {
                state_ = State::pi_question;
            } else {
                state_ = State::off;
                return;
            }
            if (declaration_ && state_ == State::pi) declared_ += static_cast<char>(ch);
            break;
        case State::pi: {
            const size_t e = find_byte(b, c.r, c.n, '?');
            if (declaration_) {
                if (declared_.size() + (e - c.r) > max_declaration) {
                    state_ = State::off;
                    return;
                }
                declared_.append(reinterpret_cast<const char *>(b + c.r), e - c.r);
            }
            c.pass_to(e);
            if (e == c.n) return;
            state_ = State::pi_question;
            break; // the '?' goes on below
        }
        case State::pi_question:
            if (ch == '>') {
                const bool declaration = declaration_;
                declaration_ = false;
                if (declaration) {
                    const bool ok = declaration_ok();
                    declared_.clear();
                    declared_.shrink_to_fit();
                    if (!ok) {
                        state_ = State::off;
                        return;
                    }
                }
                end_markup(c, after_markup());
                // in a seven-bit encoding the first byte above ASCII ends filtering where it stands
                if (declaration && encoding_ == Encoding::seven_bit) c.n = first_high(b, c.r, c.n);
                if (state_ == State::text) return;
                continue;
            }
            if (declaration_) {
                // the '?' is the declaration's text too, within its bound
                if (declared_.size() + 1 > max_declaration) {
                    state_ = State::off;
                    return;
                }
                declared_ += '?';
            }
            if (ch != '?') {
                state_ = State::pi;
                continue;
            }
            break;

        case State::doctype_open:
            if (matched_ < doctype_keyword.size()) {
                if (ch != static_cast<unsigned char>(doctype_keyword[matched_])) {
                    state_ = State::off;
                    return;
                }
                ++matched_;
            } else {
                doctype_seen_ = true;
                if (!is(ch, char_space)) {
                    state_ = State::off;
                    return;
                }
                state_ = State::doctype;
            }
            break;
        case State::doctype:
            if (ch == '"' || ch == '\'') {
                quote_ = ch;
                state_ = State::doctype_quoted;
            } else if (ch == '[') {
                in_subset_ = true;
                state_ = State::subset;
            } else if (ch == '>') {
                state_ = State::prolog;
            } else if (!is(ch, char_space) && !is(ch, char_name)) {
                state_ = State::off; // a name and an external id only
                return;
            }
            break;
        case State::doctype_quoted:
            if (!to_next(quote_)) return;
            state_ = State::doctype;
            break;
        case State::subset:
            // white space, comments and processing instructions only
            if (ch == '<') {
                state_ = State::subset_lt;
            } else if (ch == ']') {
                in_subset_ = false;
                state_ = State::subset_end;
            } else if (!is(ch, char_space)) {
                state_ = State::off;
                return;
            }
            break;
        case State::subset_lt:
            if (ch == '!') {
                state_ = State::bang;
            } else if (ch == '?') {
                state_ = State::pi_target;
                matched_ = 0;
                declaration_ = false;
            } else {
                state_ = State::off;
                return;
            }
            break;
        case State::subset_end:
            if (ch == '>') state_ = State::prolog;
            else if (!is(ch, char_space)) {
                state_ = State::off;
                return;
            }
            break;
        }
        // the byte at r goes on as it is (a span case has moved r to the byte it stopped at)
        b[c.w++] = b[c.r++];
    }
}

// ---- content: the text of an element, up to and with the '<' after it, which the lexer takes

void ReachFilter::content(Cursor &c) {
    if (node_ == Reach::whole) {
        // text some query can reach goes through as it is
        const size_t e = find_byte(c.b, c.r, c.n, '<');
        c.pass_to(e);
        text_.cr_last = false;
        if (c.r < c.n) {
            c.b[c.w++] = '<';
            ++c.r;
            state_ = State::lt;
            droppable_ = separates_ = false; // (what a query selects goes on whole, its tags too)
            tag_w_ = npos;
        }
        return;
    }
    if (drops_) left_out<true>(c);
    else left_out<false>(c);
}

// Elsewhere proven characters are left out, line breaks go on (judging, they are left out too), and
// every other byte goes on as it is with what the parser must see beside it: a vector block at a time
// where the machine has them, and byte by byte where a byte needs a look of its own.
template <bool mapping> void ReachFilter::left_out(Cursor &c) {
    const bool utf8 = encoding_ == Encoding::utf8;
    switch (widest_) {
#ifdef TOVREL_FILTER_AVX2
    case simd::Level::avx2:
        if (judge_) utf8 ? left_out_avx2<false, true, false>(c) : left_out_avx2<false, false, false>(c);
        else utf8 ? left_out_avx2<mapping, true, true>(c) : left_out_avx2<mapping, false, true>(c);
        return;
#endif
#ifdef TOVREL_FILTER_SSE2
    case simd::Level::sse2:
        if (judge_) utf8 ? left_out_sse2<false, true, false>(c) : left_out_sse2<false, false, false>(c);
        else utf8 ? left_out_sse2<mapping, true, true>(c) : left_out_sse2<mapping, false, true>(c);
        return;
#endif
    default:
        while (c.r < c.n)
            if (!step<mapping>(c)) return;
    }
}

#ifdef TOVREL_FILTER_SSE2
template <bool mapping, bool utf8, bool lines> TOVREL_VECTOR_CODE void ReachFilter::left_out_sse2(Cursor &c) {
    left_out_blocks<mapping, simd::Sse2, utf8, lines>(c);
}
#endif
#ifdef TOVREL_FILTER_AVX2
template <bool mapping, bool utf8, bool lines> TOVREL_AVX2_CODE void ReachFilter::left_out_avx2(Cursor &c) {
    left_out_blocks<mapping, simd::Avx2, utf8, lines>(c);
}
#endif

#ifdef TOVREL_FILTER_SSE2
// The runs of left-out text a block at a time; at a '<' a run stops at, the lexer takes the markup,
// and the run goes on after it where nothing is to be kept
template <bool mapping, class S, bool utf8, bool lines>
__attribute__((always_inline)) inline void ReachFilter::left_out_blocks(Cursor &c) {
    bool gone = false; // left-out text has ended
    const auto markup_at = [&](Cursor &at) {
        text_.cr_last = false;
        tag_begins(at);
        at.b[at.w++] = '<';
        ++at.r;
        state_ = State::lt;
        // (a tag whole in the piece at once, as the lexer's first state would take it)
        if (!(depth_ > 0 && whole_tag(at)) || (state_ != State::text && outcome_ == Outcome::going)) markup(at);
        gone = state_ != State::text || node_ == Reach::whole;
        return !gone && !text_.in_reference && text_.keep == 0;
    };
    while (c.r < c.n) {
        if (!text_.in_reference && text_.keep == 0) {
#ifdef TOVREL_FILTER_AVX2
            if constexpr (S::width == 32) blocks_avx2<S, utf8, mapping, lines>(c, text_, high_from_, markup_at);
            else
#endif
                blocks_sse2<S, utf8, mapping, lines>(c, text_, high_from_, markup_at);
            if (gone || c.r == c.n) return;
        }
        if (!step<mapping>(c)) return;
    }
}
#endif

// The byte at r of left-out text, where the vector run stopped (or everywhere, without vectors):
// one character left out, or one byte on as it is with what the parser must see beside it (a
// reference up to and with the byte that ends its name, the byte after a ']', the rest of a sequence
// its lead byte announces). At a '<' the lexer takes the markup. False when left-out text has ended.
template <bool mapping> inline bool ReachFilter::step(Cursor &c) {
    unsigned char *const b = c.b;
    const unsigned char ch = b[c.r];
    Text &t = text_;
    const auto put = [&](unsigned char byte) {
        if (mapping) note(c.w);
        b[c.w++] = byte;
        ++c.r;
    };
    if (ch == '<') {
        tag_begins(c);
        t.keep = 0;
        t.in_reference = false;
        t.cr_last = false;
        put('<');
        state_ = State::lt;
        markup(c);
        return state_ == State::text && node_ != Reach::whole; // the root has ended, or reach begins
    }
    const bool kept = t.in_reference || t.keep > 0; // this byte goes on whatever it is
    if (kept) {
        // a name goes on whole: the parser must find it, and the byte that ends it, as written
        if (t.in_reference && (is(ch, char_name) || ch == '#')) {
            t.cr_last = false;
            put(ch);
            // (and the rest of a character of the name, whatever the name's end makes of it)
            if (t.keep > 0) --t.keep;
            if (encoding_ == Encoding::utf8 && ch >= 0x80 && !is_continuation(ch))
                t.keep = std::max(t.keep, static_cast<uint8_t>(judged_with(ch) - 1));
            return true;
        }
        t.in_reference = false;
        if (t.keep > 0) --t.keep;
    } else if (encoding_ == Encoding::utf8) {
        if (classes_[ch] & char_text) {
            leave_out(c, t, 1, 1);
            return true;
        }
        if (ch >= 0x80) {
            const size_t len = utf8_proven(b + c.r, c.n - c.r);
            if (len > 0) {
                leave_out(c, t, len, len == 4 && columns_ == Columns::utf16_units ? 2 : 1);
                return true;
            }
            // a character the piece cuts is judged whole with the next piece
            if (!last_ && judged_with(ch) > c.n - c.r &&
                std::all_of(b + c.r + 1, b + c.n, [](unsigned char d) { return is_continuation(d); }) &&
                hold_rest(c))
                return true;
        }
    } else if (classes_[ch] & char_text) {
        leave_out(c, t, 1, 1);
        return true;
    }
    if (judge_ && ch == ']' && !kept) {
        // judging, a run of ']' that a '<' ends is no "]]>": it is left out too, so that the tag after
        // it stands between nothing the parser must see joined
        const size_t run = span_of_byte(b + c.r, c.n - c.r, ']');
        if (c.r + run < c.n && b[c.r + run] == '<') {
            leave_out(c, t, run, static_cast<int64_t>(run));
            return true;
        }
        // (a run the piece ends is judged with the byte after it, in the next piece)
        if (c.r + run == c.n && !last_ && hold_rest(c)) return true;
    }
    put(ch);
    t.cr_last = ch == '\r';
    if (ch == '&') {
        t.in_reference = true;
    } else if (ch == ']') {
        t.keep = std::max<uint8_t>(t.keep, 1);
    } else if (encoding_ == Encoding::utf8 && ch >= 0x80 && !is_continuation(ch)) {
        t.keep = std::max(t.keep, static_cast<uint8_t>(judged_with(ch) - 1));
    }
    return true;
}

std::string_view ReachFilter::filter(char *piece, size_t n, bool last) {
    // what was held back goes in the room before the piece
    auto *b = reinterpret_cast<unsigned char *>(piece) - held_size_;
    std::memcpy(b, held_.data(), held_size_);
    n += held_size_;
    held_size_ = 0;
    last_ = last;
    // in a seven-bit encoding the first byte above ASCII ends filtering where it stands
    Cursor c{b, encoding_ == Encoding::seven_bit ? first_high(b, 0, n) : n, 0, 0};
    while (c.r < c.n && state_ != State::off) {
        if (state_ == State::text) content(c);
        else markup(c);
    }
    // off, or a byte above ASCII in a seven-bit encoding: the rest goes on as it is
    const bool rest = c.r < n;
    if (rest) state_ = State::off;
    if (judge_ && outcome_ == Outcome::going) {
        // past a tag left out, the rest as it is would not match the tags the parser was given
        if (state_ == State::off && dropped_any_) give_up();
        // a tag the piece cuts is judged whole with the next piece
        else if (!last && tag_w_ != npos && state_ != State::off) hold_tag(c);
    }
    tag_w_ = npos; // (positions in the output are this piece's)
    note(c.w);
    // (after a fault the judging filter gives nothing more: what the parser makes of what came
    // before it is the read's verdict, or the fault is)
    if (rest && outcome_ != Outcome::fault) {
        c.n = n;
        c.pass_to(n);
    }
    // (the bytes a lead byte before a '>' announces may lie in the next piece)
    if (c.w >= 2) {
        tail_[0] = b[c.w - 2];
        tail_[1] = b[c.w - 1];
    } else if (c.w == 1) {
        tail_[0] = tail_[1];
        tail_[1] = b[0];
    }
    out_ += c.w;
    return {reinterpret_cast<char *>(b), c.w};
}

} // namespace filter
