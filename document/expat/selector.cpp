#include "selector.h"

#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "chars.h"
#include "encoding_iconv.h"
#include "resident.h"
#include "error.h"
#include "unicode.h"

// Expats from 2.6.0 on (and Debian 12's security updates of 2.5.0) defer parsing a token cut at the
// end of a call until enough bytes follow. Where a fault is then reported depends on where the book
// was cut (a CR and its line feed apart, say), so the answers would differ between Expats and with
// the filter on and off; the reader turns it off where it exists, and learns that at run time, as
// the Expat found then need not be the one built against.
extern "C" XML_Bool XML_SetReparseDeferralEnabled(XML_Parser parser, XML_Bool enabled) __attribute__((weak));

namespace xmldoc::expat {

namespace {

bool is_xml_space(char c) { return filter::is(static_cast<unsigned char>(c), filter::char_space); }

bool all_space(const std::string &s) {
    for (char c : s)
        if (!is_xml_space(c)) return false;
    return true;
}

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

// Parsers reused from book to book, a few kept for readers on several threads: a parser's creation and
// freeing cost a small book as much as a third of its parse. One that read a big book may hold a buffer
// as big; it is freed, not kept.
constexpr uint64_t small_book = 1u << 20;

struct Parsers {
    std::mutex lock;
    std::vector<XML_Parser> free;
};

XML_Parser take_parser() {
    Parsers &pool = resident<Parsers>();
    XML_Parser parser = nullptr;
    {
        std::lock_guard guard(pool.lock);
        if (!pool.free.empty()) {
            parser = pool.free.back();
            pool.free.pop_back();
        }
    }
    // (a reset parser has no handlers, no user data and no salt: as new but for its memory)
    if (parser && XML_ParserReset(parser, nullptr)) return parser;
    if (parser) XML_ParserFree(parser);
    parser = XML_ParserCreate(nullptr);
    if (!parser) throw std::bad_alloc();
    return parser;
}

void give_back(XML_Parser parser, bool keep) noexcept {
    if (keep) {
        Parsers &pool = resident<Parsers>();
        try {
            std::lock_guard guard(pool.lock);
            if (pool.free.size() < 8) {
                pool.free.push_back(parser);
                return;
            }
        } catch (...) {
            // (a parser not kept is freed)
        }
    }
    XML_ParserFree(parser);
}

class Pass {
public:
    Pass(std::shared_ptr<const QuerySet> set, bool explain)
        : explain_(explain), set_(std::move(set)), queries_(set_->queries), counted_(set_->counted), max_depth_(set_->max_depth),
          answers_(queries_.size()) {
        frames_.resize(max_depth_ + 1);
        for (Frame &f : frames_) f.counts.assign(counted_.size(), 0);
        frames_[0].mask = queries_.size() == 32 ? ~0u : (1u << queries_.size()) - 1; // the document
        pending_ = frames_[0].mask;

        parser_ = take_parser();
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

    ~Pass() { give_back(parser_, given_ <= small_book); }

    // what the parser has been given, for whether it is worth keeping
    void count(size_t bytes) { given_ += bytes; }

    Pass(const Pass &) = delete;
    Pass &operator=(const Pass &) = delete;

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

    static Pass &self(void *data) { return *static_cast<Pass *>(data); }

    // Runs a handler's work. No exception may unwind through Expat's frames: the first one stops
    // the parser and waits in failure_ until the parse call returns; nothing runs after it.
    template <class F> static void guarded(void *data, F &&work) noexcept {
        Pass &sel = self(data);
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
        if (!explain_) return {}; // the verdict alone: its place would cost a second read
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
        guarded(data, [&](Pass &sel) { sel.start(name, atts); });
    }
    static void XMLCALL on_end(void *data, const XML_Char *) {
        guarded(data, [](Pass &sel) { sel.end(); });
    }
    static void XMLCALL on_text(void *data, const XML_Char *s, int len) {
        guarded(data, [&](Pass &sel) {
            if (sel.waiting_) sel.text_.append(s, static_cast<size_t>(len));
        });
    }
    static void XMLCALL on_comment(void *data, const XML_Char *text) {
        guarded(data, [&](Pass &sel) {
            if (sel.waiting_) sel.resolve(Child::value, text);
        });
    }
    static void XMLCALL on_pi(void *data, const XML_Char *, const XML_Char *text) {
        guarded(data, [&](Pass &sel) {
            if (sel.waiting_) sel.resolve(Child::value, text);
        });
    }
    static void XMLCALL on_cdata_start(void *data) {
        guarded(data, [](Pass &sel) {
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
        guarded(data, [](Pass &sel) {
            if (!sel.in_cdata_) return;
            sel.in_cdata_ = false;
            sel.answer(sel.waiting_, Child::value, sel.text_);
            sel.settle();
        });
    }
    static void XMLCALL on_skipped_entity(void *data, const XML_Char *, int is_parameter_entity) {
        guarded(data, [&](Pass &sel) {
            if (sel.waiting_ && !is_parameter_entity) sel.resolve(Child::no_value);
        });
    }
    static int XMLCALL on_external_entity(XML_Parser parser, const XML_Char *, const XML_Char *, const XML_Char *,
                                          const XML_Char *) {
        guarded(XML_GetUserData(parser), [](Pass &sel) {
            if (sel.waiting_) sel.resolve(Child::no_value);
        });
        return XML_STATUS_OK;
    }
    // Expat takes any version text; a version that is not 1.n is not XML
    static void XMLCALL on_declaration(void *data, const XML_Char *version, const XML_Char *, int) {
        guarded(data, [&](Pass &sel) {
            if (version && !valid_version(version))
                throw ReadError(std::string(XML_ErrorString(XML_ERROR_XML_DECL)) + ": version \"" + version + "\"" +
                                sel.position());
        });
    }
    static void XMLCALL on_doctype(void *data, const XML_Char *, const XML_Char *, const XML_Char *, int) {
        guarded(data, [](Pass &sel) { sel.doctype_ = true; });
    }
    // the general entities the book declares, with their replacement text (none for external ones)
    static void XMLCALL on_entity(void *data, const XML_Char *name, int is_parameter_entity, const XML_Char *value,
                                  int length, const XML_Char *, const XML_Char *, const XML_Char *, const XML_Char *) {
        guarded(data, [&](Pass &sel) {
            if (is_parameter_entity) return;
            sel.entities_.try_emplace(name, value ? std::string(value, static_cast<size_t>(length)) : std::string());
        });
    }
    // inside XML_DefaultCurrent: a failure waits for check_references, outside Expat's frames
    static void XMLCALL on_raw(void *data, const XML_Char *s, int len) noexcept {
        Pass &sel = self(data);
        try {
            sel.raw_.append(s, static_cast<size_t>(len));
        } catch (...) {
            sel.raw_failed_ = true;
        }
    }

    static int XMLCALL on_unknown_encoding(void *data, const XML_Char *name, XML_Encoding *info) {
        Pass &sel = self(data);
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
    uint64_t given_ = 0;
    bool explain_;
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

} // namespace

struct Selector::State : Pass {
    using Pass::Pass;
};

Selector::Selector(std::shared_ptr<const QuerySet> set, bool explain)
    : s_(std::make_unique<State>(std::move(set), explain)) {}

Selector::~Selector() = default;

void Selector::set_encoding(const char *name) { XML_SetEncoding(s_->parser(), name); }

bool Selector::defer(bool on) {
    if (XML_SetReparseDeferralEnabled == nullptr) return false; // an Expat that defers nothing
    return XML_SetReparseDeferralEnabled(s_->parser(), on ? XML_TRUE : XML_FALSE) == XML_TRUE;
}

void Selector::parse(std::string_view bytes, bool cr_first, bool last) {
    const XML_Parser p = s_->parser();
    s_->count(bytes.size() + (cr_first ? 1 : 0));
    if (!cr_first) {
        // (a piece is far below INT_MAX, and so is what a stage makes of it)
        s_->check(XML_Parse(p, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()), last ? XML_TRUE : XML_FALSE));
        return;
    }
    // a CR held back from the last piece goes ahead of these bytes, in Expat's own buffer
    const int n = static_cast<int>(bytes.size()) + 1;
    auto *buf = static_cast<char *>(XML_GetBuffer(p, n));
    if (!buf) s_->check(XML_STATUS_ERROR);
    buf[0] = '\r';
    if (!bytes.empty()) std::memcpy(buf + 1, bytes.data(), bytes.size());
    s_->check(XML_ParseBuffer(p, n, last ? XML_TRUE : XML_FALSE));
}

int64_t Selector::open_token() const { return XML_GetCurrentByteIndex(s_->parser()); }

void release_parsers() {
    Parsers &pool = resident<Parsers>();
    std::lock_guard guard(pool.lock);
    for (XML_Parser p : pool.free) XML_ParserFree(p);
    std::vector<XML_Parser>().swap(pool.free);
}

void Selector::columns_from(std::function<int64_t(uint64_t)> shift) { s_->columns_from(std::move(shift)); }

std::vector<Answer> Selector::take_answers() { return s_->take_answers(); }

} // namespace xmldoc::expat
