#include "reach_filter.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "charset.h"

#if defined(__SSE2__) || (defined(__i386__) && defined(__GNUC__))
#define TOVREL_SSE2 1
#if defined(__i386__) && !defined(__SSE2__)
#define TOVREL_BLOCKS __attribute__((target("sse2")))
#endif
#endif
#include "reach_filter_blocks.h"

namespace xmldoc {

namespace {

// ---- bytes

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_name_start(unsigned char c) { return name_starts[c]; }
bool is_name_char(unsigned char c) { return name_chars[c]; }

size_t name_length(const unsigned char *p, size_t n) {
    size_t e = 0;
    while (e < n && name_chars[p[e]]) ++e;
    return e;
}

// bytes a tag's lexer must look at; the rest of a tag goes on as a span
constexpr std::array<bool, 256> stops(std::string_view bytes) {
    std::array<bool, 256> t{};
    for (const char c : bytes) t[static_cast<unsigned char>(c)] = true;
    return t;
}
constexpr auto tag_stops = stops("\"'>/<");
constexpr auto end_tag_stops = stops("><");

size_t span(const unsigned char *p, size_t n, const std::array<bool, 256> &stop) {
    size_t e = 0;
    while (e < n && !stop[p[e]]) ++e;
    return e;
}

// the first c from r on, or n
size_t find_byte(const unsigned char *b, size_t r, size_t n, unsigned char c) {
    const void *at = std::memchr(b + r, c, n - r);
    return at ? static_cast<size_t>(static_cast<const unsigned char *>(at) - b) : n;
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
        return number >= 1 && number <= 16 && number != 12; // part 12 was never published
    }
    return false;
}

constexpr std::string_view cdata_keyword = "[CDATA[";
constexpr std::string_view doctype_keyword = "DOCTYPE";
constexpr size_t max_declaration = 256;
constexpr size_t max_name = 256; // longer names are kept, not compared

// the ASCII bytes that are whole characters the parser takes in text, and that may be left out:
// never '<' or '&' (markup and references), nor ']' (a "]]>" must reach the parser as it is)
constexpr std::array<bool, 256> ascii_proven = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[c] = c != '<' && c != '&' && c != ']';
    t['\t'] = true;
    return t;
}();

// ---- UTF-8

// the bytes a lead byte announces (1 for a byte that leads nothing)
size_t announced(unsigned char c) { return c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 1; }

// the bytes Expat takes together with a lead byte before it judges them: its table makes C0 and C1
// two-byte leads and F5 to F7 four-byte ones, refused only once their sequence is there
size_t judged_with(unsigned char c) { return c >= 0xF0 && c <= 0xF7 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC0 && c < 0xE0 ? 2 : 1; }

// The length of the character at p when it is one the parser takes in text and that may be left out
// (well-formed, not overlong, no surrogate, not U+FFFE or U+FFFF, complete within n bytes); else 0.
size_t utf8_proven(const unsigned char *p, size_t n) {
    const unsigned char c = p[0];
    if (c < 0x80) return ascii_proven[c] ? 1 : 0;
    const size_t len = announced(c);
    if (len == 1 || len > n) return 0;
    for (size_t i = 1; i < len; ++i)
        if (!is_continuation(p[i])) return 0;
    const unsigned char d = p[1];
    switch (c) {
    case 0xE0: return d >= 0xA0 ? len : 0;
    case 0xED: return d < 0xA0 ? len : 0;
    case 0xEF: return d == 0xBF && p[2] >= 0xBE ? 0 : len;
    case 0xF0: return d >= 0x90 ? len : 0;
    case 0xF4: return d < 0x90 ? len : 0;
    default: return len;
    }
}

// ---- runs of proven bytes, a block at a time where the machine has vectors (reach_filter_blocks.h)

#ifdef TOVREL_SSE2
// compiled for SSE2 on 32-bit x86 too, and used there only where the processor has it
bool vectors() {
#if defined(__i386__) && !defined(__SSE2__)
    // (the processor's features are read by a constructor of the runtime's; read them here too, as a
    // host may read a book before every constructor of the library has run)
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse2") != 0;
    }();
    return have;
#else
    return true;
#endif
}
#else
bool vectors() { return false; }
#endif


} // namespace

// ---- the filter

ReachFilter::ReachFilter(const Reach *reach, Columns columns)
    : reach_(reach), columns_(columns), state_(reach ? State::start : State::off) {
    for (int c = 0; c < 0x80; ++c) proven_[c] = ascii_proven[c];
}

// what was left out since the last write, noted where the next byte goes (w in this piece)
void ReachFilter::note(size_t w, int64_t &columns, bool &spaced) {
    if (drops_ && (columns != 0 || spaced)) drops_->push_back({out_ + w, columns - (spaced ? 1 : 0)});
    columns = 0;
    spaced = false;
}

void ReachFilter::open_element() {
    ++depth_;
    root_seen_ = true;
    state_ = State::text;
    if (node_ < 0) return; // inside what no query goes into, or what one selects
    node_ = name_wide_ ? Reach::whole : reach_->child(node_, name_);
    if (node_ >= 0) path_.push_back(node_);
    else absorbed_ = depth_;
}

void ReachFilter::close_element() {
    if (absorbed_ == depth_) {
        absorbed_ = 0;
        node_ = path_.empty() ? Reach::document : path_.back();
    } else if (absorbed_ == 0) {
        path_.pop_back();
        node_ = path_.empty() ? Reach::document : path_.back();
    }
    --depth_;
    state_ = depth_ > 0 ? State::text : State::prolog;
}

void ReachFilter::name_byte(unsigned char c) {
    if (name_wide_) return;
    // in a single-byte encoding a name above ASCII is not compared: its element is kept
    if ((c >= 0x80 && encoding_ != Encoding::utf8) || name_.size() >= max_name) {
        name_wide_ = true;
        return;
    }
    name_ += static_cast<char>(c);
}

// the text after "<?xml": pseudo-attributes, each after white space; only the encoding matters
bool ReachFilter::declaration_ok() {
    const std::string_view s = declared_;
    bool encoding_given = false;
    std::string_view encoding;
    size_t i = 0;
    for (;;) {
        const size_t before = i;
        while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
        if (i == s.size()) break;
        if (i == before) return false;
        const size_t name_at = i;
        while (i < s.size() && is_letter(static_cast<unsigned char>(s[i]))) ++i;
        const std::string_view name = s.substr(name_at, i - name_at);
        while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
        if (i == s.size() || s[i] != '=') return false;
        ++i;
        while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) ++i;
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
    if (!single_byte(encoding)) return false;
    // the upper half as the platform's converter, and so the parser, takes it: letters and signs,
    // never the C1 controls a code page may give its undefined bytes
    const auto half = charset::upper_half(encoding);
    if (!half) return false;
    encoding_ = Encoding::single_byte;
    high_from_ = 0x100;
    for (size_t b = 0; b < half->size(); ++b) {
        const char32_t c = (*half)[b];
        proven_[0x80 + b] = c >= 0xA0 && (c < 0xD800 || c > 0xDFFF) && c != 0xFFFE && c != 0xFFFF && c != 0xFFFD;
    }
    while (high_from_ > 0x80 && proven_[high_from_ - 1]) --high_from_;
    return true;
}

// Content from r: the text of an element, up to and with the '<' after it. Text that some query can
// reach goes through as it is. Elsewhere proven characters are left out, line breaks go on, and every
// other byte goes on as it is with what the parser must see beside it: a reference up to and with
// the byte that ends its name, the byte after a ']', the rest of a sequence its lead byte announces.
void ReachFilter::text(unsigned char *b, size_t n, size_t &r, size_t &w) {
    if (node_ == Reach::whole) {
        const size_t e = find_byte(b, r, n, '<');
        if (w != r) std::memmove(b + w, b + r, e - r);
        w += e - r;
        r = e;
        cr_last_ = false;
        if (r < n) {
            b[w++] = '<';
            ++r;
            state_ = State::lt;
        }
        return;
    }
    Run s{b, n, r, w, cr_last_, spaced_, dropped_, &depth_, 0};
    if (drops_) left_out_text<true>(s);
    else left_out_text<false>(s);
    r = s.r;
    w = s.w;
    cr_last_ = s.cr_last;
    spaced_ = s.spaced;
    dropped_ = s.columns;
}

template <bool mapping> void ReachFilter::left_out_text(Run &s) {
#ifdef TOVREL_SSE2
    if (vectors()) {
        if (encoding_ == Encoding::utf8) left_out_vector<mapping, true>(s);
        else left_out_vector<mapping, false>(s);
        return;
    }
#endif
    while (s.r < s.n)
        if (!step<mapping>(s)) return;
}

#ifdef TOVREL_SSE2
template <bool mapping, bool utf8> TOVREL_BLOCKS void ReachFilter::left_out_vector(Run &s) {
    while (s.r < s.n) {
        if (!in_reference_ && keep_ == 0) {
            // (a tag the lexer took may have left the element no query goes into)
            s.floor = node_ == Reach::none ? absorbed_ : 0;
            blocks<Sse2, utf8, mapping>(s, high_from_);
            if (s.r == s.n) return;
        }
        if (!step<mapping>(s)) return;
    }
}
#endif

// The byte at r of left-out text, where the vector run stopped (or everywhere, without vectors):
// one character left out, or one byte on as it is with what the parser must see beside it (a
// reference up to and with the byte that ends its name, the byte after a ']', the rest of a sequence
// its lead byte announces). False when the text has ended, at a '<' the lexer takes.
template <bool mapping> inline bool ReachFilter::step(Run &s) {
    unsigned char *const b = s.b;
    const size_t n = s.n;
    const unsigned char c = b[s.r];
    const auto put = [&](unsigned char byte) {
        if (mapping) note(s.w, s.columns, s.spaced);
        b[s.w++] = byte;
        ++s.r;
    };
    if (c == '<') {
        keep_ = 0;
        in_reference_ = false;
        s.cr_last = false;
        put('<');
        if (!plain_tag(s)) {
            state_ = State::lt;
            return false;
        }
        return state_ == State::text && node_ != Reach::whole; // the root has ended, or reach begins
    }
    if (in_reference_ || keep_ > 0) {
        // a name goes on whole: the parser must find it, and the byte that ends it, as written
        if (in_reference_ && (is_name_char(c) || c == '#')) {
            s.cr_last = false;
            put(c);
            // (and the rest of a character of the name, whatever the name's end makes of it)
            if (keep_ > 0) --keep_;
            if (encoding_ == Encoding::utf8 && c >= 0x80 && !is_continuation(c))
                keep_ = std::max(keep_, static_cast<uint8_t>(judged_with(c) - 1));
            return true;
        }
        in_reference_ = false;
        if (keep_ > 0) --keep_;
    } else if (encoding_ == Encoding::utf8) {
        if (ascii_proven[c]) {
            leave_out(s, 1, 1);
            return true;
        }
        if (c >= 0x80) {
            const size_t len = utf8_proven(b + s.r, n - s.r);
            if (len > 0) {
                leave_out(s, len, len == 4 && columns_ == Columns::utf16_units ? 2 : 1);
                return true;
            }
            // a character the piece cuts is judged whole with the next piece
            if (!last_ && judged_with(c) > n - s.r &&
                std::all_of(b + s.r + 1, b + n, [](unsigned char d) { return is_continuation(d); })) {
                held_size_ = static_cast<uint8_t>(n - s.r);
                std::memcpy(held_, b + s.r, held_size_);
                s.r = n;
                return true;
            }
        }
    } else if (proven_[c]) {
        leave_out(s, 1, 1);
        return true;
    }
    put(c);
    s.cr_last = c == '\r';
    if (c == '&') {
        in_reference_ = true;
    } else if (c == ']') {
        keep_ = std::max<uint8_t>(keep_, 1);
    } else if (encoding_ == Encoding::utf8 && c >= 0x80 && !is_continuation(c)) {
        keep_ = std::max(keep_, static_cast<uint8_t>(judged_with(c) - 1));
    }
    return true;
}

// After a '<' written in left-out text, where no query goes: an end tag, or a start tag with or
// without attributes, that lies whole in the piece, is passed in one step (its name does not matter
// there). False for anything else, which the lexer takes from the byte after the '<'.
bool ReachFilter::plain_tag(Run &s) {
    if (node_ != Reach::none) return false;
    unsigned char *const b = s.b;
    const size_t n = s.n;
    size_t e = s.r;
    if (e == n) return false;
    if (b[e] == '/') {
        e += 1 + span(b + e + 1, n - e - 1, end_tag_stops);
        if (e == n || b[e] != '>') return false;
        ++e;
        close_element();
    } else if (is_name_start(b[e])) {
        e += name_length(b + e, n - e);
        // as the lexer has it: the name ends at white space, '/' or '>'
        if (e == n || !(is_space(b[e]) || b[e] == '/' || b[e] == '>')) return false;
        for (;;) {
            e += span(b + e, n - e, tag_stops);
            if (e == n) return false;
            const unsigned char c = b[e];
            if (c == '"' || c == '\'') {
                e = find_byte(b, e + 1, n, c);
                if (e == n) return false;
                ++e;
            } else if (c == '>') {
                ++e;
                open_element();
                break;
            } else if (c == '/' && e + 1 < n && b[e + 1] == '>') {
                e += 2;
                break;
            } else {
                return false;
            }
        }
    } else {
        return false;
    }
    // (a tag is short: byte by byte, forwards, as w is never past r)
    while (s.r < e) b[s.w++] = b[s.r++];
    return true;
}

size_t ReachFilter::filter(char *buf, size_t n, bool last) {
    auto *b = reinterpret_cast<unsigned char *>(buf);
    last_ = last;
    if (held_size_ > 0) {
        std::memmove(b + held_size_, b, n);
        std::memcpy(b, held_, held_size_);
        n += held_size_;
        held_size_ = 0;
    }
    size_t r = 0; // next byte read
    size_t w = 0; // next byte written; never past r
    // in a seven-bit encoding the first byte above ASCII ends filtering where it stands
    size_t end = encoding_ == Encoding::seven_bit ? first_high(b, 0, n) : n;

    const auto pass_to = [&](size_t e) {
        if (w != r) std::memmove(b + w, b + r, e - r);
        w += e - r;
        r = e;
    };
    const auto to_next = [&](unsigned char c) {
        pass_to(find_byte(b, r, end, c));
        return r < end;
    };
    const auto after_markup = [&] { return in_subset_ ? State::subset : depth_ > 0 ? State::text : State::prolog; };

    while (r < end && state_ != State::off) {
        const unsigned char c = b[r];
        switch (state_) {
        case State::start:
            if (c == 0xEF) {
                state_ = State::bom_1;
                break;
            }
            // a UTF-16 or UTF-32 BOM, or 3C 00 / 00 3C of UTF-16 without one
            if (c == 0xFE || c == 0xFF || c == 0x00) {
                state_ = State::off;
                continue;
            }
            state_ = State::prolog;
            continue;
        case State::bom_1:
            state_ = c == 0xBB ? State::bom_2 : State::off;
            break;
        case State::bom_2:
            state_ = c == 0xBF ? State::prolog : State::off;
            break;

        case State::prolog:
            if (c == '<') {
                state_ = State::lt;
            } else if (is_space(c)) {
                at_start_ = false;
            } else {
                state_ = State::off;
                continue;
            }
            break;
        case State::text:
            text(b, end, r, w);
            continue;

        case State::lt: {
            const bool first = at_start_;
            at_start_ = false;
            if (c == '/') {
                state_ = depth_ > 0 ? State::end_tag : State::off;
            } else if (c == '?') {
                state_ = State::pi_target;
                matched_ = 0;
                declaration_ = first;
            } else if (c == '!') {
                state_ = State::bang;
            } else if (is_name_start(c) && !(depth_ == 0 && root_seen_)) {
                state_ = State::start_name;
                name_.clear();
                name_wide_ = false;
                continue; // the first letter of the name
            } else {
                state_ = State::off;
            }
            break;
        }

        case State::start_name: {
            const size_t e = r + name_length(b + r, end - r);
            if (node_ >= 0)
                for (size_t i = r; i < e; ++i) name_byte(b[i]);
            pass_to(e);
            if (r == end) continue;
            const unsigned char d = b[r];
            if (is_space(d)) state_ = State::tag;
            else if (d == '/') state_ = State::tag_slash;
            else if (d == '>') open_element();
            else state_ = State::off;
            break;
        }
        case State::tag:
            pass_to(r + span(b + r, end - r, tag_stops));
            if (r == end) continue;
            if (b[r] == '"' || b[r] == '\'') {
                quote_ = b[r];
                state_ = State::tag_quoted;
            } else if (b[r] == '>') {
                open_element();
            } else if (b[r] == '/') {
                state_ = State::tag_slash;
            } else {
                state_ = State::off; // '<'
                continue;
            }
            break;
        case State::tag_quoted:
            if (!to_next(quote_)) continue;
            state_ = State::tag;
            break;
        case State::tag_slash:
            if (c != '>') {
                state_ = State::off;
                continue;
            }
            root_seen_ = true; // an empty element has no content, an empty root neither
            state_ = depth_ > 0 ? State::text : State::prolog;
            break;
        case State::end_tag:
            pass_to(r + span(b + r, end - r, end_tag_stops));
            if (r == end) continue;
            if (b[r] != '>') {
                state_ = State::off;
                continue;
            }
            close_element();
            break;

        case State::bang:
            if (c == '-') state_ = State::bang_dash;
            else if (c == '[' && depth_ > 0) state_ = State::cdata_open, matched_ = 1;
            else if (c == 'D' && depth_ == 0 && !root_seen_ && !doctype_seen_ && !in_subset_)
                state_ = State::doctype_open, matched_ = 1;
            // a declaration in the internal subset may make entities that expand to far more than
            // the book's bytes: Expat weighs that against the bytes it is given, so it must have all
            else state_ = State::off;
            if (state_ == State::off) continue;
            break;
        case State::bang_dash:
            if (c != '-') {
                state_ = State::off;
                continue;
            }
            state_ = State::comment;
            break;
        case State::comment:
            if (!to_next('-')) continue;
            state_ = State::comment_dash;
            break;
        case State::comment_dash:
            state_ = c == '-' ? State::comment_dashes : State::comment;
            break;
        case State::comment_dashes:
            // "--" ends a comment and nothing else
            if (c != '>') {
                state_ = State::off;
                continue;
            }
            state_ = after_markup();
            break;

        case State::cdata_open:
            if (c != static_cast<unsigned char>(cdata_keyword[matched_])) {
                state_ = State::off;
                continue;
            }
            if (++matched_ == cdata_keyword.size()) state_ = State::cdata;
            break;
        case State::cdata:
            if (!to_next(']')) continue;
            state_ = State::cdata_bracket;
            break;
        case State::cdata_bracket:
            state_ = c == ']' ? State::cdata_brackets : State::cdata;
            break;
        case State::cdata_brackets:
            if (c == '>') state_ = State::text;
            else if (c != ']') state_ = State::cdata;
            break;

        case State::pi_target:
            if (is_name_char(c) && (matched_ > 0 || is_name_start(c))) {
                if (matched_ < 3) target_[matched_] = static_cast<char>(c);
                ++matched_;
                break;
            }
            if (matched_ == 0) {
                state_ = State::off;
                continue;
            }
            {
                const std::string_view target(target_, matched_ < 3 ? matched_ : 3);
                if (matched_ == 3 && same_letters(target, "xml")) {
                    // the declaration, exactly so and only at the very start; a reserved name elsewhere
                    if (!declaration_ || target != "xml" || !is_space(c)) {
                        state_ = State::off;
                        continue;
                    }
                    declared_.clear();
                } else {
                    declaration_ = false;
                }
            }
            if (is_space(c)) state_ = State::pi;
            else if (c == '?') state_ = State::pi_question;
            else {
                state_ = State::off;
                continue;
            }
            if (declaration_ && state_ == State::pi) declared_ += static_cast<char>(c);
            break;
        case State::pi: {
            const size_t e = find_byte(b, r, end, '?');
            if (declaration_) {
                if (declared_.size() + (e - r) > max_declaration) {
                    state_ = State::off;
                    continue;
                }
                declared_.append(reinterpret_cast<const char *>(b + r), e - r);
            }
            pass_to(e);
            if (e == end) continue;
            state_ = State::pi_question;
            break; // the '?' goes on below
        }
        case State::pi_question:
            if (c == '>') {
                state_ = after_markup();
                if (declaration_) {
                    declaration_ = false;
                    const bool ok = declaration_ok();
                    declared_.clear();
                    declared_.shrink_to_fit();
                    if (!ok) {
                        state_ = State::off;
                        continue;
                    }
                    if (encoding_ == Encoding::seven_bit) end = first_high(b, r + 1, n);
                }
            } else if (c != '?') {
                if (declaration_) declared_ += '?';
                state_ = State::pi;
                continue;
            } else if (declaration_) {
                declared_ += '?';
            }
            break;

        case State::doctype_open:
            if (matched_ < doctype_keyword.size()) {
                if (c != static_cast<unsigned char>(doctype_keyword[matched_])) {
                    state_ = State::off;
                    continue;
                }
                ++matched_;
            } else {
                doctype_seen_ = true;
                if (!is_space(c)) {
                    state_ = State::off;
                    continue;
                }
                state_ = State::doctype;
            }
            break;
        case State::doctype:
            if (c == '"' || c == '\'') {
                quote_ = c;
                state_ = State::doctype_quoted;
            } else if (c == '[') {
                in_subset_ = true;
                state_ = State::subset;
            } else if (c == '>') {
                state_ = State::prolog;
            } else if (!is_space(c) && !is_name_char(c)) {
                state_ = State::off; // a name and an external id only
                continue;
            }
            break;
        case State::doctype_quoted:
            if (!to_next(quote_)) continue;
            state_ = State::doctype;
            break;
        case State::subset:
            // white space, comments and processing instructions only
            if (c == '<') {
                state_ = State::subset_lt;
            } else if (c == ']') {
                in_subset_ = false;
                state_ = State::subset_end;
            } else if (!is_space(c)) {
                state_ = State::off;
                continue;
            }
            break;
        case State::subset_lt:
            if (c == '!') {
                state_ = State::bang;
            } else if (c == '?') {
                state_ = State::pi_target;
                matched_ = 0;
                declaration_ = false;
            } else {
                state_ = State::off;
                continue;
            }
            break;
        case State::subset_end:
            if (c == '>') state_ = State::prolog;
            else if (!is_space(c)) {
                state_ = State::off;
                continue;
            }
            break;

        case State::off:
            continue;
        }
        // the byte at r goes on as it is (a span case has moved r to the byte it stopped at)
        b[w++] = b[r++];
    }
    note(w, dropped_, spaced_);
    if (r < n) {
        // off, or a byte above ASCII in a seven-bit encoding: the rest as it is
        state_ = State::off;
        pass_to(n);
    }
    out_ += w;
    return w;
}

// ---- positions found again

namespace {

constexpr size_t map_piece = 64u << 10;

// Filters the document again from its start, watching each byte given to the parser: stop(filter,
// offset, byte) is asked at each, and at the end (byte -1), and returns true to stop there; the
// shift of the position where it stopped comes back.
template <class Stop>
int64_t replay(const Reach &reach, Columns columns, const Reader &read, Stop &&stop) {
    ReachFilter filter(&reach, columns);
    std::vector<ReachFilter::Drop> drops;
    filter.record(&drops);
    std::vector<char> buf(map_piece + ReachFilter::max_held);
    uint64_t base = 0;
    int64_t shift = 0;
    for (;;) {
        const size_t got = read(buf.data(), map_piece);
        drops.clear();
        const size_t out = filter.filter(buf.data(), got, got < map_piece);
        size_t d = 0;
        for (size_t i = 0; i < out; ++i) {
            for (; d < drops.size() && drops[d].at <= base + i; ++d) shift += drops[d].columns;
            const auto c = static_cast<unsigned char>(buf[i]);
            if (stop(filter, base + i, static_cast<int>(c))) return shift;
            if (c == '\n' || c == '\r') shift = 0;
        }
        for (; d < drops.size(); ++d) shift += drops[d].columns;
        base += out;
        if (got < map_piece) break;
    }
    stop(filter, base, -1);
    return shift;
}

} // namespace

int64_t column_shift(const Reach &reach, Columns columns, const Reader &read, uint64_t at) {
    return replay(reach, columns, read, [at](const ReachFilter &, uint64_t offset, int) { return offset >= at; });
}

int64_t column_shift(const Reach &reach, Columns columns, const Reader &read, uint64_t line, uint64_t column) {
    // the parser's count of lines and columns over what it was given, to find the offset it means
    uint64_t at_line = 1, at_column = 1;
    bool after_cr = false;
    int pending = 0; // continuation bytes still to come in a UTF-8 sequence
    return replay(reach, columns, read, [&](const ReachFilter &filter, uint64_t, int c) {
        if (c < 0) return true;
        // (the line feed of a CRLF ends the line before: the line asked for starts after it)
        if (at_line == line && at_column >= column && pending == 0 && !(c == '\n' && after_cr)) return true;
        if (c == '\n') {
            if (!after_cr) ++at_line;
            at_column = 1;
        } else if (c == '\r') {
            ++at_line;
            at_column = 1;
        } else if (pending > 0 && is_continuation(static_cast<unsigned char>(c))) {
            --pending;
        } else {
            const size_t len = c >= 0x80 && filter.utf8() ? announced(static_cast<unsigned char>(c)) : 1;
            pending = static_cast<int>(len) - 1;
            at_column += len == 4 && columns == Columns::utf16_units ? 2 : 1;
        }
        after_cr = c == '\r';
        return at_line > line;
    });
}

} // namespace xmldoc
