// The document layer on Expat: one streaming pass, no tree. At each start tag an element stack
// with per-parent name counters decides which queries select the element; the first selection in
// document order wins, and the text handlers are on only while a selected element waits for its
// first child (with a non-native encoding Expat converts every byte it hands to a handler).
#include "xmldoc.h"

#include <expat.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <system_error>

#include "error.h"
#include "unicode.h"

namespace xmldoc {

namespace {

// books up to this size are read whole and parsed in one final call: Expat spends an extra
// line-and-column pass on every piece but the last; bigger ones are fed in pieces to bound memory
constexpr size_t whole_file_limit = 16u << 20;
constexpr size_t piece_size = 1u << 20;

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

// ---- encodings Expat does not know itself, through iconv

// Expat describes an encoding by the first byte of each character: map[b] is the character of a
// one-byte sequence, -n for the lead byte of an n-byte sequence, -1 for a byte that never starts one.
struct EncodingTable {
    std::string name; // as iconv knows it
    int map[256];
    bool multibyte = false;
    std::unique_ptr<int32_t[]> pairs; // all two-byte sequences, converted once: lead << 8 | trail
};

class Converter {
public:
    explicit Converter(const char *name) : cd_(iconv_open("UTF-32LE", name)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // one character from exactly n bytes: its code point, -1 for invalid, -2 when more bytes are needed
    int32_t convert(const unsigned char *bytes, size_t n) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr); // forget any shift state
        char in[4];
        std::memcpy(in, bytes, n);
        char out[16];
        char *ip = in, *op = out;
        size_t il = n, ol = sizeof out;
        const size_t r = iconv(cd_, &ip, &il, &op, &ol);
        if (r == static_cast<size_t>(-1)) return errno == EINVAL ? -2 : -1;
        iconv(cd_, nullptr, nullptr, &op, &ol); // a composing converter holds a letter back for a mark
        if (op - out != 4) return -1; // nothing, or more than one character
        uint32_t c;
        std::memcpy(&c, out, 4);
        return c > 0x10FFFF ? -1 : static_cast<int32_t>(c);
    }

private:
    iconv_t cd_;
};

// Builds the table, or returns null when iconv does not know the encoding or Expat cannot express
// it (wide or stateful encodings: every ASCII byte must stand for itself or be invalid).
std::unique_ptr<EncodingTable> build_table(const std::string &name) {
    Converter conv(name.c_str());
    if (!conv.ok()) return nullptr;
    auto table = std::make_unique<EncodingTable>();
    table->name = name;
    for (int b = 0; b < 256; ++b) {
        const unsigned char byte = static_cast<unsigned char>(b);
        const int32_t c = conv.convert(&byte, 1);
        if (c >= 0) {
            table->map[b] = c > 0xFFFF ? -1 : c;
            continue;
        }
        if (c == -1 || b < 0x80) {
            if (b < 0x80 && c == -2) return nullptr; // an ASCII byte that starts a sequence
            table->map[b] = -1;
            continue;
        }
        // a lead byte: find the length of its sequences
        table->map[b] = -1;
        unsigned char seq[4] = {byte, 0, 0, 0};
        for (size_t len = 2; len <= 4 && table->map[b] == -1; ++len) {
            int incomplete_trail = -1;
            for (int t = 0x21; t < 0x100; ++t) {
                seq[len - 1] = static_cast<unsigned char>(t);
                const int32_t r = conv.convert(seq, len);
                if (r >= 0) {
                    table->map[b] = -static_cast<int>(len);
                    break;
                }
                if (r == -2 && incomplete_trail < 0) incomplete_trail = t;
            }
            if (incomplete_trail < 0) break;
            seq[len - 1] = static_cast<unsigned char>(incomplete_trail);
        }
        if (table->map[b] != -1) table->multibyte = true;
    }
    if (table->multibyte) {
        table->pairs = std::make_unique<int32_t[]>(65536);
        for (int lead = 0; lead < 256; ++lead) {
            for (int trail = 0; trail < 256; ++trail) {
                const unsigned char seq[2] = {static_cast<unsigned char>(lead), static_cast<unsigned char>(trail)};
                const int32_t c = table->map[lead] == -2 ? conv.convert(seq, 2) : -1;
                table->pairs[lead << 8 | trail] = c < 0 ? -1 : c;
            }
        }
    }
    return table;
}

using TablePtr = std::shared_ptr<const EncodingTable>;

// Tables are built once per encoding name and kept for the life of the library: only usable ones,
// and only so many, so that books naming ever new encodings cannot make the library grow.
TablePtr find_table(const char *declared) {
    constexpr size_t max_tables = 64;
    static std::mutex lock;
    static std::map<std::string, TablePtr> tables;
    std::string key(declared);
    for (char &c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    {
        std::lock_guard guard(lock);
        if (auto it = tables.find(key); it != tables.end()) return it->second;
    }
    TablePtr table = build_table(key); // outside the lock: a double-byte table takes a while
    if (!table) return nullptr;
    std::lock_guard guard(lock);
    if (tables.size() >= max_tables) return table;
    return tables.emplace(key, std::move(table)).first->second; // a table stored meanwhile wins
}

// per parse: sequences longer than two bytes go through iconv itself
struct ConvertState {
    TablePtr table;
    std::unique_ptr<Converter> conv;
};

int convert_sequence(void *data, const char *s) {
    auto *state = static_cast<ConvertState *>(data);
    const auto *bytes = reinterpret_cast<const unsigned char *>(s);
    const int len = -state->table->map[bytes[0]];
    if (len == 2) return state->table->pairs[bytes[0] << 8 | bytes[1]];
    if (!state->conv) state->conv = std::make_unique<Converter>(state->table->name.c_str());
    const int32_t c = state->conv->convert(bytes, static_cast<size_t>(len));
    return c < 0 ? -1 : c;
}

void release_state(void *data) { delete static_cast<ConvertState *>(data); }

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
        XML_SetUnknownEncodingHandler(parser_, on_unknown_encoding, this);
        // an external entity is never loaded: it stands as a node without a value
        XML_SetExternalEntityRefHandler(parser_, on_external_entity);
        XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    }

    ~Selector() { XML_ParserFree(parser_); }

    Selector(const Selector &) = delete;
    Selector &operator=(const Selector &) = delete;

    XML_Parser parser() const { return parser_; }

    void check(XML_Status status) const {
        if (status == XML_STATUS_OK) return;
        const XML_Error code = XML_GetErrorCode(parser_);
        std::string message = XML_ErrorString(code);
        if (code == XML_ERROR_UNKNOWN_ENCODING && !unknown_encoding_.empty())
            message += " \"" + unknown_encoding_ + "\"";
        message += " at line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ", column " +
                   std::to_string(XML_GetCurrentColumnNumber(parser_) + 1);
        throw ReadError(message);
    }

    std::vector<Answer> take_answers() { return std::move(answers_); }

private:
    struct Frame {
        uint32_t mask = 0;             // queries whose element steps so far match this element
        std::vector<uint32_t> counts;  // children seen per counted name
    };

    static Selector &self(void *data) { return *static_cast<Selector *>(data); }

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

    // the selected element's first child is decided: text gathered so far, if it is a node, or what came
    void resolve(Child child, std::string_view value = {}) {
        if (!text_.empty() && !all_space(text_)) answer(waiting_, Child::value, text_);
        else answer(waiting_, child, value);
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

        int sibling = -1;
        for (size_t k = 0; k < counted_.size(); ++k) {
            if (counted_[k] == name) {
                sibling = static_cast<int>(parent.counts[k]++);
                break;
            }
        }
        std::fill(frame.counts.begin(), frame.counts.end(), 0);
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
            const XML_Char *value = find_attribute(atts, query.attribute);
            if (!value) continue; // a later element of this path may have it
            pending_ &= ~bit;
            // an attribute's only child is the text of its value; an empty value has none
            if (*value) answer(bit, Child::value, value);
        }
        if (waiting_) text_handlers(true);
        else if (pending_ == 0) XML_SetElementHandler(parser_, nullptr, nullptr);
    }

    static const XML_Char *find_attribute(const XML_Char **atts, const std::string &name) {
        for (const XML_Char **a = atts; *a; a += 2)
            if (name == a[0]) return a[1];
        return nullptr;
    }

    void end() {
        if (waiting_) resolve(Child::none);
        --depth_;
    }

    static void XMLCALL on_start(void *data, const XML_Char *name, const XML_Char **atts) {
        self(data).start(name, atts);
    }
    static void XMLCALL on_end(void *data, const XML_Char *) { self(data).end(); }

    static void XMLCALL on_text(void *data, const XML_Char *s, int len) {
        Selector &sel = self(data);
        if (sel.waiting_) sel.text_.append(s, static_cast<size_t>(len));
    }
    static void XMLCALL on_comment(void *data, const XML_Char *text) {
        Selector &sel = self(data);
        if (sel.waiting_) sel.resolve(Child::value, text);
    }
    static void XMLCALL on_pi(void *data, const XML_Char *, const XML_Char *text) {
        Selector &sel = self(data);
        if (sel.waiting_) sel.resolve(Child::value, text);
    }
    static void XMLCALL on_cdata_start(void *data) {
        Selector &sel = self(data);
        if (!sel.waiting_) return;
        if (!sel.text_.empty() && !all_space(sel.text_)) {
            sel.resolve(Child::value);
            return;
        }
        // a CDATA section is a node of its own, even an empty one: gather it alone
        sel.text_.clear();
        sel.in_cdata_ = true;
    }
    static void XMLCALL on_cdata_end(void *data) {
        Selector &sel = self(data);
        if (!sel.in_cdata_) return;
        sel.in_cdata_ = false;
        std::string value = std::move(sel.text_);
        sel.text_.clear();
        sel.answer(sel.waiting_, Child::value, value);
        sel.waiting_ = 0;
        sel.text_handlers(false);
        if (sel.pending_ == 0) XML_SetElementHandler(sel.parser_, nullptr, nullptr);
    }
    static void XMLCALL on_skipped_entity(void *data, const XML_Char *, int is_parameter_entity) {
        Selector &sel = self(data);
        if (sel.waiting_ && !is_parameter_entity) sel.resolve(Child::no_value);
    }
    static int XMLCALL on_external_entity(XML_Parser parser, const XML_Char *, const XML_Char *, const XML_Char *,
                                          const XML_Char *) {
        Selector &sel = self(XML_GetUserData(parser));
        if (sel.waiting_) sel.resolve(Child::no_value);
        return XML_STATUS_OK;
    }

    static int XMLCALL on_unknown_encoding(void *data, const XML_Char *name, XML_Encoding *info) {
        Selector &sel = self(data);
        sel.unknown_encoding_ = name; // Expat may still refuse the table: the message names it either way
        TablePtr table;
        try {
            table = find_table(name);
        } catch (...) {
        }
        if (!table) return XML_STATUS_ERROR;
        std::memcpy(info->map, table->map, sizeof info->map);
        if (table->multibyte) {
            info->data = new (std::nothrow) ConvertState{table, nullptr};
            if (!info->data) return XML_STATUS_ERROR;
            info->convert = convert_sequence;
            info->release = release_state;
        } else {
            info->data = nullptr;
            info->convert = nullptr;
            info->release = nullptr;
        }
        return XML_STATUS_OK;
    }

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
    bool in_cdata_ = false;
    std::string text_;
    std::string unknown_encoding_;
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
                fail(errno);
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

} // namespace

std::vector<Answer> first_children(const std::u16string &path, std::span<const std::u16string_view> queries,
                                   const Settings &) {
    Selector sel(queries);
    const std::string native = unicode::utf16_to_utf8(path);
    // an unpaired surrogate has no UTF-8 form, and its stand-in would name some other file
    if (unicode::utf8_to_utf16(native) != path) throw ReadError(native + ": not a valid UTF-16 file name");
    File file(native);
    XML_Parser p = sel.parser();
    // the size at opening is what is read: a file that grows meanwhile cannot keep the read going
    size_t left = file.size();
    if (left <= whole_file_limit) {
        void *buf = XML_GetBuffer(p, static_cast<int>(left));
        if (!buf && left) throw std::bad_alloc();
        const size_t got = file.read(buf, left);
        sel.check(XML_ParseBuffer(p, static_cast<int>(got), XML_TRUE));
        return sel.take_answers();
    }
    while (left > 0) {
        const size_t want = std::min(left, piece_size);
        void *buf = XML_GetBuffer(p, static_cast<int>(want));
        if (!buf) throw std::bad_alloc();
        const size_t got = file.read(buf, want);
        left = got < want ? 0 : left - got;
        sel.check(XML_ParseBuffer(p, static_cast<int>(got), left == 0 ? XML_TRUE : XML_FALSE));
    }
    return sel.take_answers();
}

std::vector<Answer> first_children_in(std::string_view document, std::span<const std::u16string_view> queries,
                                      size_t chunk, const Settings &) {
    Selector sel(queries);
    XML_Parser p = sel.parser();
    if (chunk == 0 || chunk > INT_MAX) chunk = INT_MAX;
    do {
        const size_t n = std::min(chunk, document.size());
        const bool last = n == document.size();
        sel.check(XML_Parse(p, document.data(), static_cast<int>(n), last ? XML_TRUE : XML_FALSE));
        document.remove_prefix(n);
        if (last) break;
    } while (true);
    return sel.take_answers();
}

bool under_wine() { return false; } // Expat answers the same everywhere

} // namespace xmldoc
