// The document layer on Expat: one streaming pass, no tree. At each start tag an element stack
// with per-parent name counters decides which queries select the element; the first selection in
// document order wins, and the text handlers are on only while a selected element waits for its
// first child (with a non-native encoding Expat converts every byte it hands to a handler).
//
// The book's bytes reach Expat through at most one stage, chosen from its first bytes: the reach
// filter, a check of UTF-16 surrogates that not every Expat makes, or a conversion to UTF-8 for
// encodings Expat cannot be given a table for.
#include "xmldoc.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <system_error>
#include <utility>

#include "encoding_iconv.h"
#include "error.h"
#include "query.h"
#include "reach_filter.h"
#include "unicode.h"

// Expats from 2.6.0 on (and Debian 12's security updates of 2.5.0) defer parsing a token cut at the
// end of a call until enough bytes follow. Where a fault is then reported depends on where the book
// was cut (a CR and its line feed apart, say), so the answers would differ between Expats and with
// the filter on and off; the reader turns it off where it exists, and learns that at run time, as
// the Expat found then need not be the one built against.
extern "C" XML_Bool XML_SetReparseDeferralEnabled(XML_Parser parser, XML_Bool enabled) __attribute__((weak));

namespace xmldoc {

namespace {

// Books go to the parser in pieces through one reused buffer: what the filter leaves of a piece is
// small, so Expat's pass over each piece's lines and columns costs little, and a piece sits in the
// cache while the filter and the parser read it.
constexpr size_t piece_size = 256u << 10;
// what is looked at before the parser starts: the byte order mark and the XML declaration
constexpr size_t head_size = 4096;

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool all_space(const std::string &s) {
    for (char c : s)
        if (!is_xml_space(c)) return false;
    return true;
}


// ---- what the first bytes say

enum class Family { bytes, utf16le, utf16be };

struct Prolog {
    Family family = Family::bytes;
    std::string declaration; // the XML declaration as ASCII, when the book starts with one
    std::string encoding;    // the name it declares, if any
};

// Reads the byte order and the XML declaration the way Expat does: a BOM, or a first '<' next to a
// zero byte, means UTF-16; the declaration is ASCII in either form.
Prolog sniff(std::string_view head) {
    Prolog p;
    const auto byte = [head](size_t i) { return i < head.size() ? static_cast<unsigned char>(head[i]) : 0x100u; };
    size_t at = 0, step = 1, low = 0; // a character is step bytes, its ASCII byte at offset low
    if (byte(0) == 0xFE && byte(1) == 0xFF) {
        p.family = Family::utf16be;
        at = 2, step = 2, low = 1;
    } else if (byte(0) == 0xFF && byte(1) == 0xFE) {
        p.family = Family::utf16le;
        at = 2, step = 2;
    } else if (byte(0) == 0x3C && byte(1) == 0x00) {
        p.family = Family::utf16le;
        step = 2;
    } else if (byte(0) == 0x00 && byte(1) == 0x3C) {
        p.family = Family::utf16be;
        step = 2, low = 1;
    } else if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        at = 3;
    }
    std::string text;
    for (; at + step <= head.size(); at += step) {
        if (step == 2 && head[at + 1 - low] != 0) break;
        const char c = head[at + low];
        if (c == 0 || static_cast<unsigned char>(c) >= 0x80) break;
        text += c;
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, "?>") == 0) break;
    }
    if (text.size() < 8 || text.compare(0, 5, "<?xml") != 0 || !is_xml_space(text[5]) ||
        text.compare(text.size() - 2, 2, "?>") != 0)
        return p;
    p.declaration = text;
    // the pseudo-attributes: name = "value" or 'value'
    size_t i = 5;
    const auto skip_space = [&] {
        while (i < text.size() && is_xml_space(text[i])) ++i;
    };
    for (;;) {
        skip_space();
        const size_t name = i;
        while (i < text.size() && text[i] != '=' && !is_xml_space(text[i]) && text[i] != '?') ++i;
        const std::string_view key(text.data() + name, i - name);
        skip_space();
        if (key.empty() || i >= text.size() || text[i] != '=') break;
        ++i;
        skip_space();
        if (i >= text.size() || (text[i] != '"' && text[i] != '\'')) break;
        const size_t close = text.find(text[i], i + 1);
        if (close == std::string::npos) break;
        if (key == "encoding") p.encoding = text.substr(i + 1, close - i - 1);
        i = close + 1;
    }
    return p;
}

// ---- stages between the file's bytes and the parser

class Stage {
public:
    virtual ~Stage() = default;
    // what the parser gets for the n bytes at buf (which has slack bytes of room after them); in
    // place, or in the stage's own buffer
    virtual std::string_view apply(char *buf, size_t n, bool last) = 0;
};

// Older Expats take a high surrogate that no low one follows; newer ones refuse it where it stands.
// Turned into U+FFFF, which every Expat refuses as not a character, it fails alike everywhere: same
// message, line and column. A high half at the end of a piece waits for the next one.
class Utf16Guard final : public Stage {
public:
    explicit Utf16Guard(bool big_endian) : big_endian_(big_endian) {}

    std::string_view apply(char *buf, size_t n, bool last) override {
        auto *b = reinterpret_cast<unsigned char *>(buf);
        if (held_) {
            std::memmove(b + held_, b, n);
            std::memcpy(b, hold_, held_);
            n += held_;
            held_ = 0;
        }
        size_t i = 0;
        while (i + 1 < n) {
            const unsigned u = unit(b + i);
            if (u < 0xD800 || u > 0xDBFF) {
                i += 2;
                continue;
            }
            if (i + 3 >= n) break; // its partner, if any, is in the next piece
            const unsigned next = unit(b + i + 2);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                i += 4;
                continue;
            }
            b[i] = b[i + 1] = 0xFF;
            i += 2;
        }
        if (last) return {buf, n}; // a character left unfinished is the parser's to report
        held_ = n - i;
        std::memcpy(hold_, b + i, held_);
        return {buf, i};
    }

private:
    unsigned unit(const unsigned char *p) const { return big_endian_ ? p[0] << 8 | p[1] : p[1] << 8 | p[0]; }

    bool big_endian_;
    unsigned char hold_[3];
    size_t held_ = 0;
};

// text no query reaches left out (reach_filter.h)
class LeaveOut final : public Stage {
public:
    explicit LeaveOut(const Reach &reach) : filter_(&reach) {}

    std::string_view apply(char *buf, size_t n, bool last) override {
        const size_t out = filter_.filter(buf, n, last);
        left_out_ = left_out_ || out < n;
        return {buf, out};
    }
    // whether columns may have moved: anything left out so far
    bool left_out() const { return left_out_; }

private:
    ReachFilter filter_;
    bool left_out_ = false;
};

// the whole book converted to UTF-8 for Expat, for encodings no table can describe to it
class ToUtf8 final : public Stage {
public:
    explicit ToUtf8(std::unique_ptr<encoding::Utf8Stream> stream) : stream_(std::move(stream)) {}

    std::string_view apply(char *buf, size_t n, bool last) override {
        out_.resize(stream_->room(n));
        return {out_.data(), stream_->convert(buf, n, last, out_.data())};
    }

private:
    std::unique_ptr<encoding::Utf8Stream> stream_;
    std::string out_;
};

// ---- the pass
// one secret per process for Expat's hash tables: by default it asks the kernel for one per parser
unsigned long hash_salt() {
    static const unsigned long salt = [] {
        try {
            std::random_device device;
            return static_cast<unsigned long>(static_cast<uint64_t>(device()) << 32 | device()) | 1;
        } catch (...) {
            return 0ul; // no entropy source: leave the salt to Expat
        }
    }();
    return salt;
}

bool valid_version(std::string_view v) {
    return v.size() > 2 && v.substr(0, 2) == "1." &&
           std::all_of(v.begin() + 2, v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool predefined_entity(std::string_view name) {
    return name == "amp" || name == "lt" || name == "gt" || name == "quot" || name == "apos";
}

// The raw value of attribute name in a start tag as written, or nothing when the tag does not hold
// it (a default from the document type).
std::optional<std::string_view> raw_attribute(std::string_view tag, std::string_view name) {
    if (tag.empty() || tag[0] != '<') return std::nullopt;
    size_t i = 1;
    while (i < tag.size() && !is_xml_space(tag[i]) && tag[i] != '/' && tag[i] != '>') ++i;
    for (;;) {
        while (i < tag.size() && is_xml_space(tag[i])) ++i;
        const size_t start = i;
        while (i < tag.size() && tag[i] != '=' && !is_xml_space(tag[i]) && tag[i] != '/' && tag[i] != '>') ++i;
        const std::string_view key = tag.substr(start, i - start);
        while (i < tag.size() && is_xml_space(tag[i])) ++i;
        if (key.empty() || i >= tag.size() || tag[i] != '=') return std::nullopt;
        ++i;
        while (i < tag.size() && is_xml_space(tag[i])) ++i;
        if (i >= tag.size()) return std::nullopt;
        const size_t close = tag.find(tag[i], i + 1);
        if (close == std::string_view::npos) return std::nullopt;
        if (key == name) return tag.substr(i + 1, close - i - 1);
        i = close + 1;
    }
}

class Selector {
public:
    explicit Selector(std::shared_ptr<const QuerySet> set)
        : set_(std::move(set)), queries_(set_->queries), counted_(set_->counted), max_depth_(set_->max_depth),
          answers_(queries_.size()) {
        frames_.resize(max_depth_ + 1);
        for (Frame &f : frames_) f.counts.assign(counted_.size(), 0);
        frames_[0].mask = queries_.size() == 32 ? ~0u : (1u << queries_.size()) - 1; // the document
        pending_ = frames_[0].mask;

        parser_ = XML_ParserCreate(nullptr);
        if (!parser_) throw std::bad_alloc();
        XML_SetUserData(parser_, this);
        if (const unsigned long salt = hash_salt()) XML_SetHashSalt(parser_, salt);
        XML_SetElementHandler(parser_, on_start, on_end);
        XML_SetXmlDeclHandler(parser_, on_declaration);
        XML_SetStartDoctypeDeclHandler(parser_, on_doctype);
        XML_SetEntityDeclHandler(parser_, on_entity);
        XML_SetUnknownEncodingHandler(parser_, on_unknown_encoding, this);
        // an external entity is never loaded: it stands as a node without a value
        XML_SetExternalEntityRefHandler(parser_, on_external_entity);
        XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    }

    ~Selector() { XML_ParserFree(parser_); }

    Selector(const Selector &) = delete;
    Selector &operator=(const Selector &) = delete;

    XML_Parser parser() const { return parser_; }

    // after each parse call: a failure inside a handler first, then the parser's own
    void check(XML_Status status) {
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
        if (status == XML_STATUS_OK) return;
        const XML_Error code = XML_GetErrorCode(parser_);
        if (code == XML_ERROR_NO_MEMORY) throw std::bad_alloc();
        std::string message = XML_ErrorString(code);
        if (code == XML_ERROR_UNKNOWN_ENCODING && !unknown_encoding_.empty())
            message += " \"" + unknown_encoding_ + "\"";
        throw ReadError(message + position());
    }

    std::vector<Answer> take_answers() { return std::move(answers_); }

    // how far a column the parser gives stands from the book's, for a byte index of its input
    void columns_from(std::function<int64_t(uint64_t)> shift) { shift_ = std::move(shift); }

private:
    struct Frame {
        uint32_t mask = 0;            // queries whose element steps so far match this element
        bool preserve = false;        // xml:space="preserve" is in force
        std::vector<uint32_t> counts; // children seen per counted name
    };

    static Selector &self(void *data) { return *static_cast<Selector *>(data); }

    // Runs a handler's work. No exception may unwind through Expat's frames: the first one stops
    // the parser and waits in failure_ until the parse call returns; nothing runs after it.
    template <class F> static void guarded(void *data, F &&work) noexcept {
        Selector &sel = self(data);
        if (sel.failure_) return;
        try {
            work(sel);
        } catch (...) {
            sel.failure_ = std::current_exception();
            XML_StopParser(sel.parser_, XML_FALSE);
        }
    }

    // where the parser is; the column as in the book, whatever the filter left out before it
    struct Place {
        XML_Size line, column;
        XML_Index at; // in the bytes the parser was given
    };
    Place here() const {
        return {XML_GetCurrentLineNumber(parser_), XML_GetCurrentColumnNumber(parser_), XML_GetCurrentByteIndex(parser_)};
    }
    std::string where(const Place &p) const {
        auto column = static_cast<int64_t>(p.column) + 1;
        if (shift_ && p.at >= 0) column += shift_(static_cast<uint64_t>(p.at));
        return " at line " + std::to_string(p.line) + ", column " + std::to_string(column);
    }
    std::string position() const { return where(here()); }

    void text_handlers(bool on) {
        XML_SetCharacterDataHandler(parser_, on ? on_text : nullptr);
        XML_SetCommentHandler(parser_, on ? on_comment : nullptr);
        XML_SetProcessingInstructionHandler(parser_, on ? on_pi : nullptr);
        XML_SetCdataSectionHandler(parser_, on ? on_cdata_start : nullptr, on ? on_cdata_end : nullptr);
        XML_SetSkippedEntityHandler(parser_, on ? on_skipped_entity : nullptr);
    }

    void answer(uint32_t which, Child child, std::string_view utf8) {
        for (size_t q = 0; q < queries_.size(); ++q) {
            if (!(which >> q & 1)) continue;
            answers_[q].child = child;
            if (child == Child::value) unicode::append_utf8_as_utf16(answers_[q].value, utf8);
        }
    }

    // text gathered for the waiting element is a node of its own unless it is only white space
    // where white space is not kept
    bool text_is_node() const { return !text_.empty() && (waiting_preserve_ || !all_space(text_)); }

    // the selected element's first child is decided: text gathered so far, if it is a node, or what came
    void resolve(Child child, std::string_view value = {}) {
        if (text_is_node()) answer(waiting_, Child::value, text_);
        else answer(waiting_, child, value);
        settle();
    }

    void settle() {
        waiting_ = 0;
        text_.clear();
        text_handlers(false);
        if (pending_ == 0) XML_SetElementHandler(parser_, nullptr, nullptr); // nothing left to find
    }

    void start(const XML_Char *name, const XML_Char **atts) {
        if (waiting_) resolve(Child::no_value);
        const size_t depth = ++depth_;
        if (depth > max_depth_) return;
        Frame &parent = frames_[depth - 1];
        const uint32_t candidates = parent.mask & pending_;
        Frame &frame = frames_[depth];
        frame.mask = 0;
        if (!candidates) return;
        raw_taken_ = false;

        int sibling = -1;
        for (size_t k = 0; k < counted_.size(); ++k) {
            if (counted_[k] == name) {
                sibling = static_cast<int>(parent.counts[k]++);
                break;
            }
        }
        std::fill(frame.counts.begin(), frame.counts.end(), 0);
        frame.preserve = parent.preserve;
        if (const XML_Char *space = find_attribute(atts, "xml:space")) {
            if (std::strcmp(space, "preserve") == 0) frame.preserve = true;
            else if (std::strcmp(space, "default") == 0) frame.preserve = false;
        }
        for (size_t q = 0; q < queries_.size(); ++q) {
            if (!(candidates >> q & 1)) continue;
            const Query &query = queries_[q];
            const Step &step = query.elements[depth - 1];
            if (step.name != name || (step.index >= 0 && step.index != sibling)) continue;
            if (depth < query.elements.size()) {
                frame.mask |= 1u << q;
                continue;
            }
            // selected: the first selection wins
            const uint32_t bit = 1u << q;
            if (query.attribute.empty()) {
                pending_ &= ~bit;
                waiting_ |= bit;
                continue;
            }
            const XML_Char *value = find_attribute(atts, query.attribute.c_str());
            if (!value) continue; // a later element of this path may have it
            pending_ &= ~bit;
            if (doctype_) check_references(query.attribute);
            // an attribute's only child is the text of its value; an empty value has none
            if (*value) answer(bit, Child::value, value);
        }
        if (waiting_) {
            waiting_preserve_ = frame.preserve;
            text_handlers(true);
        } else if (pending_ == 0) {
            XML_SetElementHandler(parser_, nullptr, nullptr);
        }
    }

    static const XML_Char *find_attribute(const XML_Char **atts, const char *name) {
        for (const XML_Char **a = atts; *a; a += 2)
            if (std::strcmp(name, a[0]) == 0) return a[1];
        return nullptr;
    }

    // A book that names a document type outside itself may use entities declared there, which are
    // never read: in an attribute value Expat then drops the reference without a word. A value that
    // lost part of itself so is not the book's value, so the read fails naming the entity.
    void check_references(const std::string &attribute) {
        const auto value = raw_attribute(raw_tag(), attribute);
        if (!value) return; // not as written here (or the tag could not be had): nothing to judge
        std::vector<std::string_view> texts{*value};
        std::set<std::string_view> seen;
        while (!texts.empty()) {
            const std::string_view text = texts.back();
            texts.pop_back();
            for (size_t i = text.find('&'); i != std::string_view::npos; i = text.find('&', i + 1)) {
                const size_t end = text.find(';', i);
                if (end == std::string_view::npos) break;
                const std::string_view ref = text.substr(i + 1, end - i - 1);
                if (ref.empty() || ref[0] == '#' || predefined_entity(ref)) continue;
                const auto it = entities_.find(ref);
                if (it == entities_.end())
                    throw ReadError("undefined entity \"" + std::string(ref) + "\" in attribute \"" + attribute +
                                    "\"" + where(raw_place_));
                if (seen.insert(it->first).second) texts.push_back(it->second);
            }
        }
    }

    // The start tag being reported, as written, in UTF-8; taken once per tag. In an encoding Expat
    // converts, XML_DefaultCurrent moves the event pointer past what it hands over, so a second call
    // gets nothing and the position would be the tag's end: both are taken before.
    const std::string &raw_tag() {
        if (raw_taken_) return raw_;
        raw_taken_ = true;
        raw_place_ = here();
        raw_.clear();
        raw_failed_ = false;
        XML_SetDefaultHandlerExpand(parser_, on_raw);
        XML_DefaultCurrent(parser_);
        XML_SetDefaultHandlerExpand(parser_, nullptr);
        if (raw_failed_) throw std::bad_alloc();
        return raw_;
    }

    void end() {
        if (waiting_) resolve(Child::none);
        --depth_;
    }

    static void XMLCALL on_start(void *data, const XML_Char *name, const XML_Char **atts) {
        guarded(data, [&](Selector &sel) { sel.start(name, atts); });
    }
    static void XMLCALL on_end(void *data, const XML_Char *) {
        guarded(data, [](Selector &sel) { sel.end(); });
    }
    static void XMLCALL on_text(void *data, const XML_Char *s, int len) {
        guarded(data, [&](Selector &sel) {
            if (sel.waiting_) sel.text_.append(s, static_cast<size_t>(len));
        });
    }
    static void XMLCALL on_comment(void *data, const XML_Char *text) {
        guarded(data, [&](Selector &sel) {
            if (sel.waiting_) sel.resolve(Child::value, text);
        });
    }
    static void XMLCALL on_pi(void *data, const XML_Char *, const XML_Char *text) {
        guarded(data, [&](Selector &sel) {
            if (sel.waiting_) sel.resolve(Child::value, text);
        });
    }
    static void XMLCALL on_cdata_start(void *data) {
        guarded(data, [](Selector &sel) {
            if (!sel.waiting_) return;
            if (sel.text_is_node()) {
                sel.resolve(Child::value);
                return;
            }
            // a CDATA section is a node of its own, even an empty one: gather it alone
            sel.text_.clear();
            sel.in_cdata_ = true;
        });
    }
    static void XMLCALL on_cdata_end(void *data) {
        guarded(data, [](Selector &sel) {
            if (!sel.in_cdata_) return;
            sel.in_cdata_ = false;
            sel.answer(sel.waiting_, Child::value, sel.text_);
            sel.settle();
        });
    }
    static void XMLCALL on_skipped_entity(void *data, const XML_Char *, int is_parameter_entity) {
        guarded(data, [&](Selector &sel) {
            if (sel.waiting_ && !is_parameter_entity) sel.resolve(Child::no_value);
        });
    }
    static int XMLCALL on_external_entity(XML_Parser parser, const XML_Char *, const XML_Char *, const XML_Char *,
                                          const XML_Char *) {
        guarded(XML_GetUserData(parser), [](Selector &sel) {
            if (sel.waiting_) sel.resolve(Child::no_value);
        });
        return XML_STATUS_OK;
    }
    // Expat takes any version text; a version that is not 1.n is not XML
    static void XMLCALL on_declaration(void *data, const XML_Char *version, const XML_Char *, int) {
        guarded(data, [&](Selector &sel) {
            if (version && !valid_version(version))
                throw ReadError(std::string(XML_ErrorString(XML_ERROR_XML_DECL)) + ": version \"" + version + "\"" +
                                sel.position());
        });
    }
    static void XMLCALL on_doctype(void *data, const XML_Char *, const XML_Char *, const XML_Char *, int) {
        guarded(data, [](Selector &sel) { sel.doctype_ = true; });
    }
    // the general entities the book declares, with their replacement text (none for external ones)
    static void XMLCALL on_entity(void *data, const XML_Char *name, int is_parameter_entity, const XML_Char *value,
                                  int length, const XML_Char *, const XML_Char *, const XML_Char *, const XML_Char *) {
        guarded(data, [&](Selector &sel) {
            if (is_parameter_entity) return;
            sel.entities_.try_emplace(name, value ? std::string(value, static_cast<size_t>(length)) : std::string());
        });
    }
    // inside XML_DefaultCurrent: a failure waits for check_references, outside Expat's frames
    static void XMLCALL on_raw(void *data, const XML_Char *s, int len) noexcept {
        Selector &sel = self(data);
        try {
            sel.raw_.append(s, static_cast<size_t>(len));
        } catch (...) {
            sel.raw_failed_ = true;
        }
    }

    static int XMLCALL on_unknown_encoding(void *data, const XML_Char *name, XML_Encoding *info) {
        Selector &sel = self(data);
        try {
            sel.unknown_encoding_ = name; // Expat may still refuse the table: the message names it either way
            const encoding::TablePtr table = encoding::find_table(encoding::canonical(name));
            if (!table) return XML_STATUS_ERROR;
            std::memcpy(info->map, table->map, sizeof info->map);
            info->data = nullptr;
            info->convert = nullptr;
            info->release = nullptr;
            if (table->multibyte) {
                info->data = new Sequences{table, nullptr};
                info->convert = convert_sequence;
                info->release = release_sequences;
            }
            return XML_STATUS_OK;
        } catch (...) {
            return XML_STATUS_ERROR;
        }
    }

    // per parse: sequences longer than two bytes go through iconv itself
    struct Sequences {
        encoding::TablePtr table;
        std::unique_ptr<encoding::Converter> conv;
    };
    static int XMLCALL convert_sequence(void *data, const char *s) {
        auto *state = static_cast<Sequences *>(data);
        try {
            return encoding::convert_sequence(*state->table, state->conv, reinterpret_cast<const unsigned char *>(s));
        } catch (...) {
            return -1;
        }
    }
    static void XMLCALL release_sequences(void *data) { delete static_cast<Sequences *>(data); }

    XML_Parser parser_ = nullptr;
    std::shared_ptr<const QuerySet> set_;
    const std::vector<Query> &queries_;
    const std::vector<std::string> &counted_;
    const size_t max_depth_;
    std::vector<Frame> frames_;
    std::vector<Answer> answers_;
    size_t depth_ = 0;
    uint32_t pending_ = 0; // queries that have selected nothing yet
    uint32_t waiting_ = 0; // queries whose selected element waits for its first child
    bool waiting_preserve_ = false;
    bool in_cdata_ = false;
    bool doctype_ = false;
    bool raw_failed_ = false;
    bool raw_taken_ = false; // raw_ holds the current start tag
    std::string text_;
    std::string unknown_encoding_;
    std::string raw_;
    Place raw_place_{};          // where the current start tag is
    std::function<int64_t(uint64_t)> shift_;
    std::map<std::string, std::string, std::less<>> entities_;
    std::exception_ptr failure_;
};

class File {
public:
    explicit File(const std::string &path) : path_(path) {
        // O_NONBLOCK: opening a FIFO must not wait for a writer
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd_ < 0) fail(errno);
        struct stat st;
        if (::fstat(fd_, &st) != 0) fail(errno);
        if (!S_ISREG(st.st_mode)) throw ReadError(path_ + ": not a regular file");
        // a regular file is read blocking: some network and user-space file systems honour the flag
        // (of the flags F_SETFL sets, it was opened with that one alone: one call, not two)
        if (::fcntl(fd_, F_SETFL, 0) != 0) fail(errno);
        size_ = static_cast<uint64_t>(st.st_size);
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    uint64_t size() const { return size_; }

    // reads up to n bytes at offset (or at the file's position, -1); fewer only at the end
    size_t read(void *buf, size_t n, int64_t offset = -1) const {
        size_t done = 0;
        while (done < n) {
            char *to = static_cast<char *>(buf) + done;
            const ssize_t r = offset < 0 ? ::read(fd_, to, n - done) : ::pread(fd_, to, n - done, offset + done);
            if (r < 0) {
                if (errno == EINTR) continue;
                fail(errno); // EAGAIN too: nothing here can wait for it
            }
            if (r == 0) break;
            done += static_cast<size_t>(r);
        }
        return done;
    }

private:
    [[noreturn]] void fail(int err) const {
        throw ReadError(path_ + ": " + std::error_code(err, std::generic_category()).message());
    }

    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// ---- where a book's bytes come from

// room after a piece for what a stage holds over from the last one
constexpr size_t slack = std::max<size_t>(ReachFilter::max_held, 3);

// Piece buffers, reused by every read: a fresh one per book would be fresh pages for the kernel to
// fault in each time, which is what a folder of books would cost most. A few are kept, for readers
// on several threads.
class Buffers {
public:
    std::unique_ptr<char[]> take() {
        {
            std::lock_guard guard(lock_);
            if (!free_.empty()) {
                auto b = std::move(free_.back());
                free_.pop_back();
                return b;
            }
        }
        return std::make_unique_for_overwrite<char[]>(piece_size + slack);
    }
    void give_back(std::unique_ptr<char[]> b) noexcept {
        try {
            std::lock_guard guard(lock_);
            if (free_.size() < 8) free_.push_back(std::move(b));
        } catch (...) {
            // (a buffer not kept is only freed)
        }
    }

private:
    std::mutex lock_;
    std::vector<std::unique_ptr<char[]>> free_;
};

Buffers &buffers() {
    static Buffers all;
    return all;
}

class Piece {
public:
    Piece() : buf_(buffers().take()) {}
    ~Piece() { buffers().give_back(std::move(buf_)); }
    Piece(const Piece &) = delete;
    Piece &operator=(const Piece &) = delete;
    char *data() const { return buf_.get(); }

private:
    std::unique_ptr<char[]> buf_;
};

class Source {
public:
    virtual ~Source() = default;
    // the first bytes, for the byte order and the declaration; read() still begins at the start
    virtual std::string_view head() = 0;
    // the next bytes, at most n and the source's own piece size
    virtual size_t read(char *buf, size_t n) = 0;
    // nothing is left to read
    virtual bool done() const = 0;
    // the same bytes once more from the start, to find a fault's column again
    virtual Reader again() const = 0;
};

class FileSource final : public Source {
public:
    explicit FileSource(const std::string &path) : file_(path) {}

    std::string_view head() override {
        if (!head_read_) {
            head_read_ = true;
            const auto want = static_cast<size_t>(std::min<uint64_t>(file_.size(), head_.size()));
            head_size_ = file_.read(head_.data(), want);
            rest_ = head_size_ < want ? 0 : file_.size() - head_size_;
        }
        return {head_.data(), head_size_};
    }

    // the size at opening is what is read: a file that grows meanwhile cannot keep the read going
    size_t read(char *buf, size_t n) override {
        head();
        size_t got = std::min(n, head_size_ - head_used_);
        std::memcpy(buf, head_.data() + head_used_, got);
        head_used_ += got;
        if (got < n && rest_ > 0) {
            const auto want = static_cast<size_t>(std::min<uint64_t>(n - got, rest_));
            const size_t more = file_.read(buf + got, want);
            rest_ = more < want ? 0 : rest_ - more; // short: the file shrank meanwhile
            got += more;
        }
        return got;
    }

    bool done() const override { return head_read_ && head_used_ == head_size_ && rest_ == 0; }

    Reader again() const override {
        return [this, at = uint64_t{0}](char *buf, size_t n) mutable {
            const auto want = static_cast<size_t>(std::min<uint64_t>(n, file_.size() - std::min(at, file_.size())));
            const size_t got = want ? file_.read(buf, want, static_cast<int64_t>(at)) : 0;
            at += got;
            return got;
        };
    }

private:
    File file_;
    uint64_t rest_ = 0; // bytes after the head still to read
    std::array<char, head_size> head_;
    size_t head_size_ = 0, head_used_ = 0;
    bool head_read_ = false;
};

class MemorySource final : public Source {
public:
    MemorySource(std::string_view document, size_t chunk) : document_(document), chunk_(chunk) {}

    std::string_view head() override { return document_.substr(0, head_size); }

    size_t read(char *buf, size_t n) override {
        const size_t got = std::min({n, chunk_, document_.size() - at_});
        std::memcpy(buf, document_.data() + at_, got);
        at_ += got;
        return got;
    }

    bool done() const override { return at_ == document_.size(); }

    Reader again() const override {
        return [doc = document_, at = size_t{0}](char *buf, size_t n) mutable {
            const size_t got = std::min(n, doc.size() - at);
            std::memcpy(buf, doc.data() + at, got);
            at += got;
            return got;
        };
    }

private:
    std::string_view document_;
    size_t chunk_;
    size_t at_ = 0;
};

// Hands the parser the book piece by piece through one reused buffer, and through the stage its
// first bytes call for.
void feed(Selector &sel, Source &source, const QuerySet &set, const Settings &settings) {
    XML_Parser p = sel.parser();
    const Prolog prolog = sniff(source.head());
    std::unique_ptr<Stage> stage;
    LeaveOut *leave_out = nullptr;
    if (prolog.family != Family::bytes) {
        // UCS-2 and its other names are UTF-16 to the platform; Expat knows only its own spellings
        if (!prolog.encoding.empty() && !encoding::expat_decodes(prolog.encoding) &&
            encoding::canonical(prolog.encoding) == "UTF-16")
            XML_SetEncoding(p, "UTF-16");
        stage = std::make_unique<Utf16Guard>(prolog.family == Family::utf16be);
    } else {
        // the filter knows the encodings it works in and turns itself off in any other
        if (settings.filter) {
            auto f = std::make_unique<LeaveOut>(set.reach);
            leave_out = f.get();
            stage = std::move(f);
        }
        const std::string name = encoding::canonical(prolog.encoding);
        if (prolog.encoding.empty()) {
            // UTF-8 by default
        } else if (encoding::expat_decodes(name)) {
            // another name for a byte encoding Expat decodes itself: its own decoder, not iconv's
            // (a UTF-16 name on bytes is Expat's to refuse)
            if (!encoding::expat_decodes(prolog.encoding) && name.compare(0, 6, "UTF-16") != 0)
                XML_SetEncoding(p, name.c_str());
        } else if (!encoding::find_table(name)) {
            // a table for Expat's unknown-encoding handler where one can describe the encoding (the
            // handler finds the same one), else the book converted as it is read
            if (auto stream = encoding::Utf8Stream::open(name, prolog.declaration)) {
                // (no filter here: its bytes may be parts of other characters)
                XML_SetEncoding(p, "UTF-8"); // the declaration no longer says what the bytes are
                stage = std::make_unique<ToUtf8>(std::move(stream));
                leave_out = nullptr;
            }
        }
    }
    if (leave_out)
        sel.columns_from([leave_out, &set, &source](uint64_t at) -> int64_t {
            return leave_out->left_out() ? column_shift(set.reach, Columns::characters, source.again(), at) : 0;
        });
    // (what it holds goes with this call: every fault is told before it returns)
    struct Forget {
        Selector &sel;
        ~Forget() { sel.columns_from(nullptr); }
    } forget{sel};

    // without deferral, a token longer than many pieces is parsed again from its start with each
    // one: past a few pieces deferral comes back on for the book, so that the work stays linear
    bool deferring = XML_SetReparseDeferralEnabled == nullptr || XML_SetReparseDeferralEnabled(p, XML_FALSE) == XML_FALSE;
    uint64_t given = 0;

    const Piece buffer;
    for (;;) {
        const size_t got = source.read(buffer.data(), piece_size);
        const bool last = source.done();
        const std::string_view out = stage ? stage->apply(buffer.data(), got, last) : std::string_view(buffer.data(), got);
        // (a piece is far below INT_MAX, and so is what a stage makes of it)
        sel.check(XML_Parse(p, out.empty() ? "" : out.data(), static_cast<int>(out.size()), last ? XML_TRUE : XML_FALSE));
        if (last) break;
        given += out.size();
        // after a call, the byte index is where the token it could not finish begins
        const XML_Index open = XML_GetCurrentByteIndex(p);
        if (!deferring && open >= 0 && given - static_cast<uint64_t>(open) > 4 * piece_size)
            deferring = XML_SetReparseDeferralEnabled(p, XML_TRUE) == XML_TRUE;
    }
}

} // namespace

std::vector<Answer> first_children(const std::u16string &path, std::span<const std::u16string_view> queries,
                                   const Settings &settings) {
    const auto set = query_set(queries);
    Selector sel(set);
    const std::string native = unicode::utf16_to_utf8(path);
    // an unpaired surrogate has no UTF-8 form, and its stand-in would name some other file
    if (unicode::utf8_to_utf16(native) != path) throw ReadError(native + ": not a valid UTF-16 file name");
    FileSource source(native);
    feed(sel, source, *set, settings);
    return sel.take_answers();
}

std::vector<Answer> first_children_in(std::string_view document, std::span<const std::u16string_view> queries,
                                      size_t chunk, const Settings &settings) {
    const auto set = query_set(queries);
    Selector sel(set);
    MemorySource source(document, chunk == 0 ? piece_size : std::min(chunk, piece_size));
    feed(sel, source, *set, settings);
    return sel.take_answers();
}

bool under_wine() { return false; } // Expat answers the same everywhere

} // namespace xmldoc
