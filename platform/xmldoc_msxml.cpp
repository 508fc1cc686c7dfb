// The document layer on Windows: the platform's XML document object, reached through COM.
// The calling thread must have COM initialised by the host; this file never initialises it.
#include "xmldoc.h"

#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <new>
#include <string_view>
#include <utility>

#include "book_stream_windows.h"
#include "error.h"
#include "query.h"
#include "unicode.h"

namespace xmldoc {

namespace {

// DOMDocument, the version-independent class, and the interfaces driven here
constexpr CLSID class_dom_document = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr const char *class_dom_document_text = "{F6D90F11-9C73-11D3-B32E-00C04F990BB4}";
constexpr IID iid_dom_document2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID iid_dom_node = {0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr DWORD class_context = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER; // 5

// ---- owners

template <class T> class Com {
public:
    Com() = default;
    ~Com() { reset(); }
    Com(Com &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Com &operator=(Com &&) = delete;

    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // for an out-parameter: whatever was held is released first
    T **put() {
        reset();
        return &p_;
    }
    void **put_void() { return reinterpret_cast<void **>(put()); }
    void reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }

private:
    T *p_ = nullptr;
};

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view text) {
        if (text.size() > UINT_MAX / 2) throw std::bad_alloc();
        s_ = SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.data()), static_cast<UINT>(text.size()));
        if (!s_) throw std::bad_alloc();
    }
    ~Bstr() { SysFreeString(s_); }
    Bstr(const Bstr &) = delete;
    Bstr &operator=(const Bstr &) = delete;

    BSTR get() const { return s_; }
    BSTR *put() {
        SysFreeString(std::exchange(s_, nullptr));
        return &s_;
    }
    // a null BSTR is the empty string
    std::u16string_view view() const {
        if (!s_) return {};
        return {reinterpret_cast<const char16_t *>(s_), SysStringLen(s_)};
    }

private:
    BSTR s_ = nullptr;
};

class Variant {
public:
    Variant() { VariantInit(&v_); }
    // VariantClear fails only on a type it does not know, and none gets in here
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;

    VARIANT &get() { return v_; }
    VARIANT *put() {
        VariantClear(&v_);
        return &v_;
    }

private:
    VARIANT v_;
};

// ---- failure messages

std::string utf8(std::u16string_view text) { return unicode::utf16_to_utf8(text); }

// trailing white space and the closing period go: the text is quoted inside a longer message
std::string trimmed(std::u16string_view text) {
    while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.remove_suffix(1);
    return utf8(text);
}

// the system's text for a status code, else "OLE error" and the code
std::string status_text(HRESULT status) {
    wchar_t buffer[1024];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(status), 0, buffer, sizeof buffer / sizeof buffer[0], nullptr);
    std::string text = trimmed({reinterpret_cast<const char16_t *>(buffer), n});
    if (!text.empty()) return text;
    char code[32];
    std::snprintf(code, sizeof code, "OLE error %.8x", static_cast<unsigned>(status));
    return code;
}

// The component's own description of a failed call on object (made through interface iid), else the
// status text. The thread's error object is taken in any case, so a stale one never describes a later
// failure; and it is believed only when the object says it sets one for that interface.
std::string ole_error(HRESULT status, IUnknown *object, const IID &iid) {
    Com<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) == S_OK && info && object) {
        Com<ISupportErrorInfo> support;
        if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, support.put_void())) && support &&
            support->InterfaceSupportsErrorInfo(iid) == S_OK) {
            Bstr description;
            if (SUCCEEDED(info->GetDescription(description.put()))) {
                std::string text = trimmed(description.view());
                if (!text.empty()) return text;
            }
        }
    }
    return status_text(status);
}

// a negative status fails the read; any other, zero or not, is success
void check(HRESULT status, IUnknown *object, const IID &iid) {
    if (FAILED(status)) throw ReadError(ole_error(status, object, iid));
}

// ---- the book

// Opens path for reading. load() takes a name for a URL (so "%41" or "#" in it would change the file
// opened); a stream of ours reads exactly the file named, and only once it is known to be a regular
// file: a directory, pipe or device fails here rather than leaving the parser waiting on it.
Com<BookStream> open_file(const std::u16string &path, const Reach *reach) {
    const auto *name = reinterpret_cast<const wchar_t *>(path.c_str());
    const auto failure = [&](const std::string &reason) { return ReadError(utf8(path) + ": " + reason); };

    // a directory cannot be opened as a file at all; say what it is rather than "access denied"
    const DWORD attributes = GetFileAttributesW(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw failure("not a regular file");
    const HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw failure(status_text(HRESULT_FROM_WIN32(GetLastError())));
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        throw failure("not a regular file");
    }
    Com<BookStream> stream;
    *stream.put() = BookStream::over_file(file, reach); // it owns the handle now
    if (!stream) throw std::bad_alloc();
    return stream;
}

// ---- the document

// Created before the file is even opened: a thread without COM fails with the class's message
// whatever the file.
Com<IXMLDOMDocument2> create_document() {
    Com<IUnknown> object;
    const HRESULT created = CoCreateInstance(class_dom_document, nullptr, class_context, IID_IUnknown, object.put_void());
    if (FAILED(created)) throw ReadError(status_text(created) + ", ClassID: " + class_dom_document_text);
    Com<IXMLDOMDocument2> document;
    if (FAILED(object->QueryInterface(iid_dom_document2, document.put_void())) || !document)
        throw ReadError("Interface not supported");

    IXMLDOMDocument2 *d = document.get();
    const auto set = [d](HRESULT status) { check(status, d, iid_dom_document2); };
    set(d->put_async(VARIANT_FALSE)); // load returns with the document parsed
    set(d->put_validateOnParse(VARIANT_FALSE));
    set(d->put_resolveExternals(VARIANT_FALSE)); // no DTD or external entity is ever fetched
    // the field queries count [n] from 0, as XSL Patterns do; XPath would count from 1
    const Bstr property(u"SelectionLanguage");
    Variant language;
    V_VT(&language.get()) = VT_BSTR;
    V_BSTR(&language.get()) = SysAllocString(L"XSLPattern");
    if (!V_BSTR(&language.get())) throw std::bad_alloc();
    set(d->setProperty(property.get(), language.get()));
    return document;
}

// why a loaded document has no root element, as the parser tells it, with the column as in the book
[[noreturn]] void throw_parse_error(IXMLDOMDocument2 *document, BookStream *source) {
    Com<IXMLDOMParseError> error;
    check(document->get_parseError(error.put()), document, iid_dom_document2);
    if (!error) throw ReadError("the document has no root element");
    Bstr reason;
    long code = 0, line = 0, column = 0;
    check(error->get_errorCode(&code), nullptr, IID_NULL);
    check(error->get_reason(reason.put()), nullptr, IID_NULL);
    check(error->get_line(&line), nullptr, IID_NULL);
    check(error->get_linepos(&column), nullptr, IID_NULL);
    std::string text = trimmed(reason.view());
    if (text.empty()) text = code != 0 ? status_text(code) : "the document has no root element";
    if (line > 0 && column > 0)
        column += static_cast<long>(source->column_shift(static_cast<uint64_t>(line), static_cast<uint64_t>(column)));
    if (line > 0) text += " (line " + std::to_string(line) + ", column " + std::to_string(column) + ")";
    throw ReadError(text);
}

Answer answer(IXMLDOMElement *root, std::u16string_view query) {
    Answer a;
    const Bstr text(query);
    Com<IXMLDOMNode> node;
    check(root->selectSingleNode(text.get(), node.put()), root, iid_dom_node);
    if (!node) return a;
    Com<IXMLDOMNode> child;
    check(node->get_firstChild(child.put()), node.get(), iid_dom_node);
    if (!child) return a;
    Variant value;
    check(child->get_nodeValue(value.put()), child.get(), iid_dom_node);
    if (V_VT(&value.get()) == VT_NULL) { // an element or an entity reference
        a.child = Child::no_value;
        return a;
    }
    if (V_VT(&value.get()) != VT_BSTR)
        check(VariantChangeType(&value.get(), &value.get(), 0, VT_BSTR), nullptr, IID_NULL);
    const BSTR s = V_BSTR(&value.get());
    a.child = Child::value;
    if (s) a.value.assign(reinterpret_cast<const char16_t *>(s), SysStringLen(s));
    return a;
}

// Wine's document object keeps the parser's last error in one process-wide slot, so two loads
// failing at once free the same message and take the host down; there loads go one at a time.
// Windows' own object keeps no such state, and its loads run side by side.
SRWLOCK load_turn = SRWLOCK_INIT; // trivially destroyed: safe whenever the module goes

HRESULT load(IXMLDOMDocument2 *document, const VARIANT &from) {
    VARIANT_BOOL loaded = VARIANT_FALSE; // not examined: a missing root element says the same
    const bool take_turns = under_wine();
    if (take_turns) AcquireSRWLockExclusive(&load_turn);
    const HRESULT status = document->load(from, &loaded);
    if (take_turns) ReleaseSRWLockExclusive(&load_turn);
    return status;
}

std::vector<Answer> answers(IXMLDOMDocument2 *document, BookStream *source,
                            std::span<const std::u16string_view> queries) {
    Variant from;
    V_VT(&from.get()) = VT_UNKNOWN;
    V_UNKNOWN(&from.get()) = static_cast<IStream *>(source);
    source->AddRef(); // the variant's own reference, released with it
    check(load(document, from.get()), document, iid_dom_document2);

    Com<IXMLDOMElement> root;
    check(document->get_documentElement(root.put()), document, iid_dom_document2);
    if (!root) throw_parse_error(document, source);

    std::vector<Answer> out(queries.size());
    bool unconvertible = false;
    for (size_t i = 0; i < queries.size(); ++i) {
        try {
            out[i] = answer(root.get(), queries[i]);
        } catch (const ReadError &) {
            // the reader fails on the earlier row without a text value before it would meet this
            if (unconvertible) break;
            throw;
        }
        unconvertible = unconvertible || out[i].child == Child::no_value;
    }
    return out;
}

} // namespace

bool under_wine() {
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

std::vector<Answer> first_children(const std::u16string &path, std::span<const std::u16string_view> queries,
                                   const Settings &settings) {
    const auto set = query_set(queries);
    const Com<IXMLDOMDocument2> document = create_document();
    const Com<BookStream> stream = open_file(path, settings.filter ? &set->reach : nullptr);
    return answers(document.get(), stream.get(), queries);
}

std::vector<Answer> first_children_in(std::string_view document, std::span<const std::u16string_view> queries,
                                      size_t chunk, const Settings &settings) {
    const auto set = query_set(queries);
    const Com<IXMLDOMDocument2> object = create_document();
    // the object parses in one go; chunk cuts what the filter takes at a time
    Com<BookStream> stream;
    *stream.put() = BookStream::over_memory(document, chunk, settings.filter ? &set->reach : nullptr);
    if (!stream) throw std::bad_alloc();
    // document goes with this call, whatever the object keeps
    struct Detach {
        BookStream *book;
        ~Detach() { book->detach(); }
    } detach{stream.get()};
    return answers(object.get(), stream.get(), queries);
}

} // namespace xmldoc
