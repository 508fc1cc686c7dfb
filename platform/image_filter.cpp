#include "image_filter.h"

#include <array>
#include <cstring>
#include <string_view>

namespace xmldoc {

namespace {

// what a byte is to a run: held back, a line break, or the end of the run
enum Kind : uint8_t { ends_run, held, line_break };

constexpr std::array<uint8_t, 256> kinds = [] {
    std::array<uint8_t, 256> k{};
    for (int c = 'A'; c <= 'Z'; ++c) k[c] = held;
    for (int c = 'a'; c <= 'z'; ++c) k[c] = held;
    for (int c = '0'; c <= '9'; ++c) k[c] = held;
    k['+'] = k['/'] = k['='] = k[' '] = k['\t'] = held;
    k['\n'] = k['\r'] = line_break;
    return k;
}();

// the length of the stretch of run bytes from p, up to n: sixteen at a time where the compiler has
// vectors (signed compares, so bytes above 7F fail every range), then byte by byte at the end
size_t run_length(const unsigned char *p, size_t n) {
    size_t e = 0;
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    typedef signed char Bytes __attribute__((vector_size(16)));
    while (n - e >= sizeof(Bytes)) {
        Bytes v;
        std::memcpy(&v, p + e, sizeof v);
        const Bytes letter = v | 0x20;
        const Bytes ok = ((v >= '0') & (v <= '9')) | ((letter >= 'a') & (letter <= 'z')) | (v == '+') | (v == '/') |
                         (v == '=') | (v == ' ') | (v == '\t');
        uint64_t lanes[2];
        std::memcpy(lanes, &ok, sizeof lanes);
        // the first byte that is not the alphabet's: the lowest clear lane
        if (lanes[0] != ~uint64_t{0}) return e + static_cast<size_t>(__builtin_ctzll(~lanes[0])) / 8;
        if (lanes[1] != ~uint64_t{0}) return e + 8 + static_cast<size_t>(__builtin_ctzll(~lanes[1])) / 8;
        e += sizeof(Bytes);
    }
#endif
    while (e < n && kinds[p[e]] == held) ++e;
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

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// bytes above ASCII are parts of letters in every encoding worked in; the parser judges them
constexpr std::array<bool, 256> name_starts = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
    return t;
}();
constexpr std::array<bool, 256> name_chars = [] {
    std::array<bool, 256> t = name_starts;
    for (int c = '0'; c <= '9'; ++c) t[c] = true;
    t['-'] = t['.'] = true;
    return t;
}();

bool is_name_start(unsigned char c) { return name_starts[c]; }
bool is_name_char(unsigned char c) { return name_chars[c]; }

size_t name_length(const unsigned char *p, size_t n) {
    size_t e = 0;
    while (e < n && name_chars[p[e]]) ++e;
    return e;
}

// moves the bytes from r up to e down to w: what was held back may have put w behind r
void pass(unsigned char *b, size_t &r, size_t &w, size_t e) {
    if (w != r) std::memmove(b + w, b + r, e - r);
    w += e - r;
    r = e;
}

// the first c from r on, or n
size_t find_byte(const unsigned char *b, size_t r, size_t n, unsigned char c) {
    const void *at = std::memchr(b + r, c, n - r);
    return at ? static_cast<size_t>(static_cast<const unsigned char *>(at) - b) : n;
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

// encodings in which every ASCII byte is that character and never part of another
bool listed(std::string_view name) {
    for (std::string_view n : {"UTF-8", "US-ASCII", "KOI8-R", "KOI8-U", "cp866", "IBM866"})
        if (same_letters(name, n)) return true;
    if (starts_with_letters(name, "windows-125"))
        return name.size() == 12 && name[11] >= '0' && name[11] <= '8';
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

} // namespace

ImageFilter::ImageFilter(std::string_view element)
    : element_(element), state_(element.empty() ? State::off : State::bom) {}

void ImageFilter::open_element() {
    ++depth_;
    root_seen_ = true;
    state_ = name_matches_ ? State::run : State::text;
    held_ = 0;
    long_line_ = false;
    after_cr_ = false;
}

// the text after "<?xml": pseudo-attributes, each after white space; only the encoding matters
bool ImageFilter::declaration_ok() const {
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
    return !encoding_given || listed(encoding); // none named: UTF-8
}

// From the '<' at r, inside the root: the end tags and the start tags without quotes or a '/' that
// lie whole in the piece, one after another with the text between them, where nothing is held.
// Stops at anything else, in the text state (true) or at a '<' for the lexer (false); the same
// states as byte by byte, without a turn of the lexer per byte.
bool ImageFilter::plain_tags(unsigned char *b, size_t n, size_t &r, size_t &w) {
    const auto pass_to = [&](size_t e) { pass(b, r, w, e); };
    while (r < n && b[r] == '<') {
        size_t e = r + 1;
        if (e < n && b[e] == '/') {
            e += 1 + span(b + e + 1, n - e - 1, end_tag_stops);
            if (e == n || b[e] != '>') return false;
            --depth_;
            pass_to(e + 1);
        } else if (e < n && is_name_start(b[e])) {
            const size_t name_end = e + name_length(b + e, n - e);
            size_t close = name_end;
            if (close < n && is_space(b[close])) close += span(b + close, n - close, tag_stops);
            if (close == n || b[close] != '>') return false;
            name_matches_ = std::string_view(reinterpret_cast<const char *>(b + e), name_end - e) == element_;
            open_element();
            pass_to(close + 1);
            if (state_ != State::text) return true;
        } else {
            return false;
        }
        if (depth_ == 0) return true; // the root has ended: outside it, the lexer looks at every byte
        pass_to(find_byte(b, r, n, '<'));
    }
    return true;
}

size_t ImageFilter::filter(char *buf, size_t n, bool last) {
    auto *b = reinterpret_cast<unsigned char *>(buf);
    size_t r = 0; // next byte read
    size_t w = 0; // next byte written; never past r, once held characters are out

    // passes the bytes up to e
    const auto pass_to = [&](size_t e) { pass(b, r, w, e); };
    // makes room for h bytes at w: what was held from earlier pieces comes out ahead of r
    const auto room = [&](size_t h) {
        if (w + h > r) {
            const size_t d = w + h - r;
            std::memmove(b + r + d, b + r, n - r);
            r += d;
            n += d;
        }
    };
    // writes h spaces for held characters
    const auto spaces = [&](size_t h) {
        room(h);
        std::memset(b + w, ' ', h);
        w += h;
    };
    const auto find = [&](unsigned char c) { return find_byte(b, r, n, c); };
    // passes the bytes before the next c; false when the piece ends first
    const auto to_next = [&](unsigned char c) {
        pass_to(find(c));
        return r < n;
    };

    // a CR that ended the last piece ends a line left out, unless the document ends there: a parser
    // tells where the document stops from before that CR, and so from within the line
    if (cr_held_ && (n > 0 || last)) {
        if (n == 0) spaces(held_);
        room(1);
        b[w++] = '\r';
        held_ = 0;
        cr_held_ = false;
        after_cr_ = true;
    }

    while (r < n && state_ != State::off) {
        const unsigned char c = b[r];
        switch (state_) {
        case State::bom:
            if (c == 0xEF) {
                state_ = State::bom_1;
                break;
            }
            // a UTF-16 or UTF-32 BOM, or 3C 00 / 00 3C of UTF-16 without one
            if (c == 0xFE || c == 0xFF || c == 0x00) {
                state_ = State::off;
                continue;
            }
            state_ = State::text;
            continue;
        case State::bom_1:
            state_ = c == 0xBB ? State::bom_2 : State::off;
            break;
        case State::bom_2:
            state_ = c == 0xBF ? State::text : State::off;
            break;

        case State::text:
            if (depth_ > 0) {
                if (!to_next('<')) continue;
                if (plain_tags(b, n, r, w)) continue;
                state_ = State::lt;
                break;
            }
            // outside the root only white space and markup
            if (c == '<') {
                state_ = State::lt;
            } else if (is_space(c)) {
                at_start_ = false;
            } else {
                state_ = State::off;
                continue;
            }
            break;

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
                matched_ = 0;
                name_matches_ = true;
                continue; // the first letter of the name
            } else {
                state_ = State::off;
            }
            break;
        }

        case State::start_name: {
            size_t e = r;
            for (; e < n && is_name_char(b[e]); ++e) {
                if (name_matches_ && matched_ < element_.size() && static_cast<unsigned char>(element_[matched_]) == b[e])
                    ++matched_;
                else
                    name_matches_ = false;
            }
            pass_to(e);
            if (r == n) continue;
            const unsigned char d = b[r];
            name_matches_ = name_matches_ && matched_ == element_.size();
            if (is_space(d)) state_ = State::tag;
            else if (d == '/') state_ = State::tag_slash;
            else if (d == '>') open_element();
            else state_ = State::off;
            break;
        }
        case State::tag:
            pass_to(r + span(b + r, n - r, tag_stops));
            if (r == n) continue;
            if (b[r] == '"' || b[r] == '\'') {
                quote_ = b[r];
                state_ = State::tag_quoted;
            } else if (b[r] == '>') {
                open_element();
            } else if (b[r] == '/') {
                state_ = State::tag_slash;
            } else if (b[r] == '<') {
                state_ = State::off;
            }
            break;
        case State::tag_quoted: {
            if (!to_next(quote_)) continue;
            state_ = State::tag;
            break;
        }
        case State::tag_slash:
            if (c == '>') {
                root_seen_ = true; // an empty root has no content
                state_ = State::text;
            } else {
                state_ = State::off;
            }
            break;
        case State::end_tag:
            pass_to(r + span(b + r, n - r, end_tag_stops));
            if (r == n) continue;
            if (b[r] == '>') {
                --depth_;
                state_ = State::text;
            } else {
                state_ = State::off;
            }
            break;

        case State::bang:
            if (c == '-') state_ = State::bang_dash;
            // a declaration in the internal subset may make entities that expand to far more than the
            // book's bytes: Expat weighs that against the bytes it is given, so it must be given them all
            else if (in_subset_) state_ = State::off;
            else if (c == '[' && depth_ > 0) state_ = State::cdata_open, matched_ = 1;
            else if (c == 'D' && depth_ == 0 && !root_seen_ && !doctype_seen_) state_ = State::doctype_open, matched_ = 1;
            else state_ = State::off;
            break;
        case State::bang_dash:
            state_ = c == '-' ? State::comment : State::off;
            break;
        case State::comment: {
            if (!to_next('-')) continue;
            state_ = State::comment_dash;
            break;
        }
        case State::comment_dash:
            state_ = c == '-' ? State::comment_dashes : State::comment;
            break;
        case State::comment_dashes:
            // "--" ends a comment and nothing else
            state_ = c != '>' ? State::off : in_subset_ ? State::subset : State::text;
            break;

        case State::cdata_open:
            if (c != static_cast<unsigned char>(cdata_keyword[matched_])) state_ = State::off;
            else if (++matched_ == cdata_keyword.size()) state_ = State::cdata;
            break;
        case State::cdata: {
            if (!to_next(']')) continue;
            state_ = State::cdata_bracket;
            break;
        }
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
                break;
            }
            {
                const std::string_view target(target_, matched_ < 3 ? matched_ : 3);
                if (matched_ == 3 && same_letters(target, "xml")) {
                    // the declaration, exactly so and only at the very start; a reserved name elsewhere
                    if (!declaration_ || target != "xml" || !is_space(c)) {
                        state_ = State::off;
                        break;
                    }
                    declared_.clear();
                } else {
                    declaration_ = false;
                }
            }
            if (is_space(c)) state_ = State::pi;
            else if (c == '?') state_ = State::pi_question;
            else state_ = State::off;
            if (declaration_ && state_ == State::pi) declared_ += static_cast<char>(c);
            break;
        case State::pi: {
            const size_t e = find('?');
            if (declaration_) {
                if (declared_.size() + (e - r) > max_declaration) {
                    state_ = State::off;
                    continue;
                }
                declared_.append(reinterpret_cast<const char *>(b + r), e - r);
            }
            pass_to(e);
            if (e == n) continue;
            state_ = State::pi_question;
            break; // the '?' goes on below
        }
        case State::pi_question:
            if (c == '>') {
                state_ = in_subset_ ? State::subset : State::text;
                if (declaration_) {
                    declaration_ = false;
                    if (!declaration_ok()) state_ = State::off;
                    declared_.clear();
                    declared_.shrink_to_fit();
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
                if (c == static_cast<unsigned char>(doctype_keyword[matched_])) ++matched_;
                else state_ = State::off;
            } else {
                doctype_seen_ = true;
                state_ = is_space(c) ? State::doctype : State::off;
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
                state_ = State::text;
            } else if (!is_space(c) && !is_name_char(c)) {
                state_ = State::off; // a name and an external id only
            }
            break;
        case State::doctype_quoted: {
            if (!to_next(quote_)) continue;
            state_ = State::doctype;
            break;
        }
        case State::subset:
            if (c == '<') {
                state_ = State::subset_lt;
            } else if (c == ']') {
                in_subset_ = false;
                state_ = State::subset_end;
            } else if (!is_space(c)) {
                state_ = State::off; // white space, comments and processing instructions only
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
            }
            break;
        case State::subset_end:
            if (c == '>') state_ = State::text;
            else if (!is_space(c)) state_ = State::off;
            break;

        case State::run: {
            const size_t e = r + run_length(b + r, n - r);
            const size_t k = e - r;
            r = e;
            if (long_line_) {
                std::memset(b + w, ' ', k);
                w += k;
            } else if (held_ + k < max_held) { // and room for a CR held after them
                held_ += k;
            } else {
                // too long to hold: this line goes through as spaces, all of it
                spaces(held_ + k);
                held_ = 0;
                long_line_ = true;
            }
            if (r == n) continue;
            const unsigned char d = b[r];
            if (kinds[d] == line_break) {
                if (d == '\r' && held_ > 0 && r + 1 == n) {
                    // the end of the document or not: that is for the next piece to tell
                    ++r;
                    if (!last) {
                        cr_held_ = true;
                        continue;
                    }
                    spaces(held_);
                    held_ = 0;
                    b[w++] = d;
                    continue;
                }
                // a whole line of base64: only its line break goes on, but never as the LF that would
                // make one line break of the CR before it
                if (d == '\n' && after_cr_ && held_ > 0) spaces(1);
                held_ = 0;
                long_line_ = false;
                after_cr_ = d == '\r';
            } else {
                // the run ends: what was held goes on as spaces, the byte that ended it as it is
                spaces(held_);
                held_ = 0;
                long_line_ = false;
                state_ = d == '<' ? State::lt : State::text;
            }
            b[w++] = d;
            ++r;
            continue;
        }

        case State::off:
            continue;
        }
        // the byte at r goes on as it is (a span case has moved r to the byte it stopped at)
        b[w++] = b[r];
        ++r;
    }
    pass_to(n);
    if (last && state_ == State::run) {
        spaces(held_);
        held_ = 0;
        long_line_ = false;
    }
    return w;
}

} // namespace xmldoc
