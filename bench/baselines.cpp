#include "baselines.h"

#include <expat.h>
#include <fcntl.h>
#include <iconv.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>

namespace baseline {

namespace {

// keeps the compiler from dropping work whose result nobody reads
volatile size_t sink = 0;

class Fd {
public:
    explicit Fd(const std::string &path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    bool ok() const { return fd_ >= 0; }

    std::optional<size_t> size() const {
        struct stat st;
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        return static_cast<size_t>(st.st_size);
    }

    size_t read(void *buf, size_t n) const {
        size_t done = 0;
        while (done < n) {
            const ssize_t r = ::read(fd_, static_cast<char *>(buf) + done, n - done);
            if (r <= 0) break;
            done += static_cast<size_t>(r);
        }
        return done;
    }

private:
    int fd_;
};

// ---- Expat's missing encodings: one byte, one character

using ByteTable = std::array<int, 256>;

std::optional<ByteTable> build_byte_table(const char *name) {
    const iconv_t cd = iconv_open("UTF-32LE", name);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    ByteTable table;
    for (int b = 0; b < 256; ++b) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char in = static_cast<char>(b);
        unsigned char out[8];
        char *ip = &in, *op = reinterpret_cast<char *>(out);
        size_t il = 1, ol = sizeof out;
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || sizeof out - ol != 4) {
            table[static_cast<size_t>(b)] = -1; // invalid, or the lead byte of a longer sequence
            continue;
        }
        const uint32_t c = out[0] | out[1] << 8 | out[2] << 16 | static_cast<uint32_t>(out[3]) << 24;
        table[static_cast<size_t>(b)] = c > 0xFFFF ? -1 : static_cast<int>(c);
    }
    iconv_close(cd);
    return table;
}

// built once per name, as any program that reads many books would
int XMLCALL one_byte_encoding(void *, const XML_Char *name, XML_Encoding *info) {
    static std::map<std::string, std::optional<ByteTable>> tables;
    auto it = tables.find(name);
    if (it == tables.end()) it = tables.emplace(name, build_byte_table(name)).first;
    if (!it->second) return XML_STATUS_ERROR;
    std::memcpy(info->map, it->second->data(), sizeof info->map);
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    return XML_STATUS_OK;
}

// ---- libxml2

// the six queries, counted from 1 as XPath counts; "f:" stands for the root's namespace, if any
constexpr std::array<const char *, 6> fb2_paths = {
    "/f:FictionBook/f:description/f:title-info/f:genre[1]",
    "/f:FictionBook/f:description/f:title-info/f:author[1]/f:first-name",
    "/f:FictionBook/f:description/f:title-info/f:author[1]/f:last-name",
    "/f:FictionBook/f:description/f:title-info/f:book-title",
    "/f:FictionBook/f:description/f:title-info/f:sequence/@name",
    "/f:FictionBook/f:description/f:title-info/f:sequence/@number",
};

std::string without_prefix(std::string path) {
    for (size_t at; (at = path.find("f:")) != std::string::npos;) path.erase(at, 2);
    return path;
}

void silent(void *, const char *, ...) {}
void silent_structured(void *, xmlErrorPtr) {}

} // namespace

bool memchr_scan(const std::string &path) {
    constexpr size_t piece = 256u << 10; // as the reader reads
    static std::vector<char> buffer(piece); // reused: the floor pays for no allocation
    Fd fd(path);
    if (!fd.ok()) return false;
    const auto size = fd.size();
    if (!size) return false;
    size_t count = 0, total = 0;
    for (;;) {
        const size_t got = fd.read(buffer.data(), piece);
        total += got;
        const char *p = buffer.data();
        const char *end = p + got;
        while ((p = static_cast<const char *>(std::memchr(p, '<', static_cast<size_t>(end - p))))) {
            ++count;
            ++p;
        }
        if (got < piece) break;
    }
    sink = sink + count;
    return total == *size;
}

bool expat_parse(const std::string &path) {
    Fd fd(path);
    if (!fd.ok()) return false;
    const auto size = fd.size();
    if (!size || *size > INT32_MAX) return false;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUnknownEncodingHandler(parser, one_byte_encoding, nullptr);
    void *buf = XML_GetBuffer(parser, static_cast<int>(*size));
    bool ok = buf || *size == 0;
    if (ok) {
        const size_t got = fd.read(buf, *size);
        ok = XML_ParseBuffer(parser, static_cast<int>(got), XML_TRUE) == XML_STATUS_OK;
    }
    XML_ParserFree(parser);
    return ok;
}

namespace {

// what of a book the yardstick keeps: byte ranges, in order
struct Keep {
    XML_Parser parser;
    int depth = 0;
    std::vector<std::pair<size_t, size_t>> ranges; // begin, end
    size_t open = 0;                               // where a description being read begins
};

size_t here(const Keep &k) { return static_cast<size_t>(XML_GetCurrentByteIndex(k.parser)); }
size_t after(const Keep &k) { return here(k) + static_cast<size_t>(XML_GetCurrentByteCount(k.parser)); }

void XMLCALL keep_start(void *data, const XML_Char *name, const XML_Char **) {
    auto &k = *static_cast<Keep *>(data);
    ++k.depth;
    if (k.depth == 1) k.ranges.emplace_back(0, after(k)); // the prolog and the root's start tag
    else if (k.depth == 2 && std::strcmp(name, "description") == 0) k.open = here(k);
}

void XMLCALL keep_end(void *data, const XML_Char *name) {
    auto &k = *static_cast<Keep *>(data);
    if (k.depth == 1) k.ranges.emplace_back(here(k), SIZE_MAX); // the root's end tag and what follows
    else if (k.depth == 2 && std::strcmp(name, "description") == 0) k.ranges.emplace_back(k.open, after(k));
    --k.depth;
}

} // namespace

bool write_description_only(const std::string &from, const std::string &to) {
    std::string bytes;
    {
        std::ifstream in(from, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    Keep keep;
    keep.parser = XML_ParserCreate(nullptr);
    XML_SetUnknownEncodingHandler(keep.parser, one_byte_encoding, nullptr);
    XML_SetUserData(keep.parser, &keep);
    XML_SetElementHandler(keep.parser, keep_start, keep_end);
    const bool ok = bytes.size() <= INT32_MAX &&
                    XML_Parse(keep.parser, bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree(keep.parser);
    std::string out;
    if (!ok || keep.ranges.size() < 2) {
        out = bytes;
    } else {
        for (const auto &[begin, end] : keep.ranges) out.append(bytes, begin, end == SIZE_MAX ? std::string::npos : end - begin);
    }
    std::ofstream o(to, std::ios::binary);
    o.write(out.data(), static_cast<std::streamsize>(out.size()));
    return ok && static_cast<bool>(o);
}

struct LibXml2::Compiled {
    std::array<xmlXPathCompExprPtr, 6> with_namespace{};
    std::array<xmlXPathCompExprPtr, 6> plain{};
};

LibXml2::LibXml2() : compiled_(new Compiled) {
    xmlInitParser();
    // broken books are part of the corpus; their complaints are not the benchmark's output
    xmlSetGenericErrorFunc(nullptr, silent);
    xmlSetStructuredErrorFunc(nullptr, silent_structured);
    // compiled once: kinder to the baseline than a script that compiles them per book
    for (size_t i = 0; i < fb2_paths.size(); ++i) {
        compiled_->with_namespace[i] = xmlXPathCompile(reinterpret_cast<const xmlChar *>(fb2_paths[i]));
        compiled_->plain[i] = xmlXPathCompile(reinterpret_cast<const xmlChar *>(without_prefix(fb2_paths[i]).c_str()));
    }
}

LibXml2::~LibXml2() {
    for (auto *e : compiled_->with_namespace) xmlXPathFreeCompExpr(e);
    for (auto *e : compiled_->plain) xmlXPathFreeCompExpr(e);
    delete compiled_;
    xmlCleanupParser();
}

bool LibXml2::read(const std::string &path) {
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET);
    if (!doc) return false;
    values_.assign(fb2_paths.size(), std::string());
    xmlXPathContextPtr ctx = xmlXPathNewContext(doc);
    const xmlNode *root = xmlDocGetRootElement(doc);
    // FB2 books put their elements in a default namespace, most of them; some in none
    const bool namespaced = root && root->ns && root->ns->href;
    if (namespaced) xmlXPathRegisterNs(ctx, reinterpret_cast<const xmlChar *>("f"), root->ns->href);
    const auto &exprs = namespaced ? compiled_->with_namespace : compiled_->plain;
    for (size_t i = 0; i < exprs.size(); ++i) {
        xmlXPathObjectPtr found = xmlXPathCompiledEval(exprs[i], ctx);
        if (found && found->nodesetval && found->nodesetval->nodeNr > 0) {
            const xmlNode *child = found->nodesetval->nodeTab[0]->children;
            if (child && child->type != XML_ELEMENT_NODE) {
                xmlChar *text = xmlNodeGetContent(child);
                if (text) {
                    values_[i] = reinterpret_cast<const char *>(text);
                    xmlFree(text);
                }
            }
        }
        xmlXPathFreeObject(found);
    }
    xmlXPathFreeContext(ctx);
    xmlFreeDoc(doc);
    return true;
}

} // namespace baseline
