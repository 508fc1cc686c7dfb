// The document layer on Expat: one streaming pass, no tree. At each start tag an element stack
// with per-parent name counters decides which queries select the element; the first selection in
// document order wins, and the text handlers are on only while a selected element waits for its
// first child (with a non-native encoding Expat converts every byte it hands to a handler).
//
// The book's bytes reach Expat through at most one stage, chosen from its first bytes: the image
// filter, a check of UTF-16 surrogates that not every Expat makes, or a conversion to UTF-8 for
// encodings Expat cannot be given a table for.
#include "xmldoc.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
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
#include "image_filter.h"
#include "unicode.h"

namespace xmldoc {

namespace {

// books up to this size are read whole and parsed in one final call: Expat spends an extra
// line-and-column pass on every piece but the last; bigger ones are fed in pieces to bound memory
constexpr size_t whole_file_limit = 16u << 20;
constexpr size_t piece_size = 1u << 20;
// what is looked at before the parser starts: the byte order mark and the XML declaration
constexpr size_t head_size = 4096;

// ---- queries

struct Step {
    std::string name;
    int index = -1; // [n] among the children of that name, or -1 for all
};

struct Query {
    std::vector<Step> elements; // the element steps, from the root
    std::string attribute;      // the final @name step, if any
};

Query parse_query(std::u16string_view text) {
    const std::string q = unicode::utf16_to_utf8(text);
    if (q.empty() || q[0] != '/') throw std::invalid_argument("query must start at the root: " + q);
    Query query;
    size_t pos = 1;
    while (pos <= q.size()) {
        size_t end = q.find('/', pos);
        if (end == std::string::npos) end = q.size();
        std::string step = q.substr(pos, end - pos);
        if (step.empty() || !query.attribute.empty()) throw std::invalid_argument("bad query: " + q);
        if (step[0] == '@') {
            query.attribute = step.substr(1);
            if (query.attribute.empty()) throw std::invalid_argument("bad query: " + q);
        } else {
            Step s;
            if (const size_t open = step.find('['); open != std::string::npos) {
                if (step.back() != ']' || open + 2 >= step.size()) throw std::invalid_argument("bad query: " + q);
                s.index = std::stoi(step.substr(open + 1, step.size() - open - 2));
                step.resize(open);
            }
            s.name = std::move(step);
            query.elements.push_back(std::move(s));
        }
        pos = end + 1;
    }
    if (query.elements.empty()) throw std::invalid_argument("bad query: " + q);
    return query;
}

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
    // the buffer that n new bytes need, with what the stage may add to them
    virtual size_t room(size_t n) const = 0;
    // rewrites the n bytes at buf in place (room(n) bytes there); returns how many go to the parser
    virtual size_t apply(char *buf, size_t n, bool last) = 0;
};

// Older Expats take a high surrogate that no low one follows; newer ones refuse it where it stands.
// Turned into U+FFFF, which every Expat refuses as not a character, it fails alike everywhere: same
// message, line and column. A high half at the end of a piece waits for the next one.
class Utf16Guard final : public Stage {
public:
    explicit Utf16Guard(bool big_endian) : big_endian_(big_endian) {}

    size_t room(size_t n) const override { return n + held_; }

    size_t apply(char *buf, size_t n, bool last) override {
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
        if (last) return n; // a character left unfinished is the parser's to report
        held_ = n - i;
        std::memcpy(hold_, b + i, held_);
        return i;
    }

private:
    unsigned unit(const unsigned char *p) const { return big_endian_ ? p[0] << 8 | p[1] : p[1] << 8 | p[0]; }

    bool big_endian_;
    unsigned char hold_[3];
    size_t held_ = 0;
};

// images left out: lines of base64 in the named element reach Expat as their line breaks
class Images final : public Stage {
public:
    explicit Images(std::string_view element) : filter_(element) {}

    size_t room(size_t n) const override { return n + ImageFilter::max_held; }
    size_t apply(char *buf, size_t n, bool last) override { return filter_.filter(buf, n, last); }

private:
    ImageFilter filter_;
};

// the whole book converted to UTF-8 for Expat, for encodings no table can describe to it
class ToUtf8 final : public Stage {
public:
    explicit ToUtf8(std::unique_ptr<encoding::Utf8Stream> stream) : stream_(std::move(stream)) {}

    size_t room(size_t n) const override { return stream_->room(n); }

    size_t apply(char *buf, size_t n, bool last) override {
        input_.assign(buf, n);
        return stream_->convert(input_.data(), n, last, buf);
    }

private:
    std::unique_ptr<encoding::Utf8Stream> stream_;
    std::string input_;
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

// the queries in parsed form, with what the pass needs to know about them
struct Plan {
    std::vector<std::u16string> texts;
    std::vector<Query> queries;
    std::vector<std::string> counted; // names that queries count among siblings
    size_t max_depth = 0;
};

std::shared_ptr<const Plan> make_plan(std::span<const std::u16string_view> queries) {
    if (queries.size() > 32) throw std::invalid_argument("at most 32 queries");
    auto plan = std::make_shared<Plan>();
    for (auto q : queries) {
        plan->texts.emplace_back(q);
        plan->queries.push_back(parse_query(q));
        plan->max_depth = std::max(plan->max_depth, plan->queries.back().elements.size());
    }
    for (const Query &q : plan->queries)
        for (const Step &s : q.elements)
            if (s.index >= 0 && std::find(plan->counted.begin(), plan->counted.end(), s.name) == plan->counted.end())
                plan->counted.push_back(s.name);
    return plan;
}

// Queries are parsed once per distinct set and kept for the life of the library (the reader always
// asks the same six); a few sets at most, so that no caller can make the list grow without end.
std::shared_ptr<const Plan> plan_for(std::span<const std::u16string_view> queries) {
    constexpr size_t max_plans = 8;
    static std::mutex lock;
    static std::vector<std::shared_ptr<const Plan>> plans;
    {
        std::lock_guard guard(lock);
        for (const auto &p : plans)
            if (std::equal(p->texts.begin(), p->texts.end(), queries.begin(), queries.end())) return p;
    }
    auto plan = make_plan(queries);
    std::lock_guard guard(lock);
    if (plans.size() < max_plans) plans.push_back(plan);
    return plan;
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
    Selector(std::span<const std::u16string_view> queries)
        : plan_(plan_for(queries)), queries_(plan_->queries), counted_(plan_->counted),
          max_depth_(plan_->max_depth), answers_(queries.size()) {
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

    std::string position() const {
        return " at line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ", column " +
               std::to_string(XML_GetCurrentColumnNumber(parser_) + 1);
    }

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
                                    "\"" + raw_position_);
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
        raw_position_ = position();
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
    std::shared_ptr<const Plan> plan_;
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
    std::string raw_position_; // where the current start tag is
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
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) fail(errno);
        size_ = static_cast<size_t>(st.st_size);
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    size_t size() const { return size_; }

    // reads up to n bytes; fewer only at the end of the file
    size_t read(void *buf, size_t n) {
        size_t done = 0;
        while (done < n) {
            const ssize_t r = ::read(fd_, static_cast<char *>(buf) + done, n - done);
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
    size_t size_ = 0;
};

// Hands the parser the book piece by piece, through the stage its first bytes call for.
class Feed {
public:
    Feed(Selector &sel, std::string_view head, const Settings &settings) : sel_(sel) {
        const Prolog prolog = sniff(head);
        XML_Parser p = sel.parser();
        if (prolog.family != Family::bytes) {
            // UCS-2 and its other names are UTF-16 to the platform; Expat knows only its own spellings
            if (!prolog.encoding.empty() && !encoding::expat_decodes(prolog.encoding) &&
                encoding::canonical(prolog.encoding) == "UTF-16")
                XML_SetEncoding(p, "UTF-16");
            stage_ = std::make_unique<Utf16Guard>(prolog.family == Family::utf16be);
            return;
        }
        // the filter knows the encodings it works in and turns itself off in any other
        if (!settings.base64_element.empty()) stage_ = std::make_unique<Images>(settings.base64_element);
        if (prolog.encoding.empty()) return;
        const std::string name = encoding::canonical(prolog.encoding);
        if (encoding::expat_decodes(name)) {
            // another name for a byte encoding Expat decodes itself: its own decoder, not iconv's
            // (a UTF-16 name on bytes is Expat's to refuse)
            if (!encoding::expat_decodes(prolog.encoding) && name.compare(0, 6, "UTF-16") != 0)
                XML_SetEncoding(p, name.c_str());
            return;
        }
        // a table for Expat's unknown-encoding handler where one can describe the encoding
        // (the handler finds the same one), else the book converted as it is read
        if (encoding::find_table(name)) return;
        if (auto stream = encoding::Utf8Stream::open(name, prolog.declaration)) {
            // (no image filter here: its bytes may be parts of other characters)
            XML_SetEncoding(p, "UTF-8"); // the declaration no longer says what the bytes are
            stage_ = std::make_unique<ToUtf8>(std::move(stream));
            whole_limit_ = piece_size;
        }
    }

    // the biggest book read in one piece
    size_t whole_limit() const { return whole_limit_; }

    // One piece: fill writes up to want bytes at the pointer it is given and returns how many it
    // wrote; fewer than want ends the book. Returns how many were written.
    template <class Fill> size_t piece(size_t want, bool last, Fill &&fill) {
        XML_Parser p = sel_.parser();
        const size_t room = stage_ ? stage_->room(want) : want;
        if (room > static_cast<size_t>(INT_MAX)) throw std::bad_alloc();
        // with nothing to parse there is no buffer to ask for: Expat's answer to an empty one
        // differs between patch levels
        if (room == 0) {
            sel_.check(XML_Parse(p, "", 0, last ? XML_TRUE : XML_FALSE));
            return 0;
        }
        auto *buf = static_cast<char *>(XML_GetBuffer(p, static_cast<int>(room)));
        if (!buf) sel_.check(XML_STATUS_ERROR);
        const size_t got = fill(buf, want);
        last = last || got < want;
        const size_t n = stage_ ? stage_->apply(buf, got, last) : got;
        const XML_Bool final = last ? XML_TRUE : XML_FALSE;
        sel_.check(n == 0 ? XML_Parse(p, "", 0, final) : XML_ParseBuffer(p, static_cast<int>(n), final));
        return got;
    }

private:
    Selector &sel_;
    std::unique_ptr<Stage> stage_;
    size_t whole_limit_ = whole_file_limit;
};

} // namespace

std::vector<Answer> first_children(const std::u16string &path, std::span<const std::u16string_view> queries,
                                   const Settings &settings) {
    Selector sel(queries);
    const std::string native = unicode::utf16_to_utf8(path);
    // an unpaired surrogate has no UTF-8 form, and its stand-in would name some other file
    if (unicode::utf8_to_utf16(native) != path) throw ReadError(native + ": not a valid UTF-16 file name");
    File file(native);
    // the size at opening is what is read: a file that grows meanwhile cannot keep the read going
    size_t left = file.size();
    std::string head(std::min(left, head_size), '\0');
    head.resize(file.read(head.data(), head.size()));
    const bool ended = head.size() < std::min(left, head_size); // the file shrank meanwhile
    Feed feed(sel, head, settings);
    size_t head_used = 0;
    const auto fill = [&](char *buf, size_t want) {
        const size_t from_head = std::min(want, head.size() - head_used);
        std::memcpy(buf, head.data() + head_used, from_head);
        head_used += from_head;
        if (from_head == want || ended) return from_head;
        return from_head + file.read(buf + from_head, want - from_head);
    };
    size_t want = left <= feed.whole_limit() ? left : piece_size;
    for (;;) {
        const bool last = want >= left;
        const size_t got = feed.piece(std::min(want, left), last, fill);
        if (last || got < want) break;
        left -= got;
        want = piece_size;
    }
    return sel.take_answers();
}

std::vector<Answer> first_children_in(std::string_view document, std::span<const std::u16string_view> queries,
                                      size_t chunk, const Settings &settings) {
    Selector sel(queries);
    Feed feed(sel, document.substr(0, head_size), settings);
    // a piece and the filter's room must fit a buffer Expat can grow to (its sizes are int, and
    // doubled): a bigger document goes in pieces as from a file
    if (chunk == 0) chunk = document.size() <= feed.whole_limit() ? document.size() : piece_size;
    chunk = std::clamp<size_t>(chunk, 1, size_t{1} << 29);
    size_t at = 0;
    for (;;) {
        const size_t want = std::min(chunk, document.size() - at);
        const bool last = at + want == document.size();
        feed.piece(want, last, [&](char *buf, size_t n) {
            std::memcpy(buf, document.data() + at, n);
            return n;
        });
        at += want;
        if (last) break;
    }
    return sel.take_answers();
}

bool under_wine() { return false; } // Expat answers the same everywhere

} // namespace xmldoc
