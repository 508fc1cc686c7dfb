// The document layer on Windows: the platform's XML document object, reached through COM.
// The calling thread must have COM initialised by the host; this file never initialises it.
#include "xmldoc.h"

#include <windows.h>

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>

#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "book_stream.h"
#include "com.h"
#include "error.h"
#include "file.h"
#include "passes.h"
#include "query.h"
#include "unicode.h"
#include "upper_half.h"

namespace xmldoc {

namespace windows {
namespace {

// DOMDocument, the version-independent class, and the interfaces driven here
constexpr CLSID class_dom_document = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr const char *class_dom_document_text = "{F6D90F11-9C73-11D3-B32E-00C04F990BB4}";
constexpr IID iid_dom_document2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr IID iid_dom_node = {0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
constexpr DWORD class_context = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER; // 5

// ---- failure messages

std::string utf8(std::u16string_view text) { return unicode::utf16_to_utf8(text); }

// trailing white space and the closing period go: the text is quoted inside a longer message
std::string trimmed(std::u16string_view text) {
    while (!text.empty() && (text.back() <= u' ' || text.back() == u'.')) text.remove_suffix(1);
    return utf8(text);
}

// the system's text for a status code, else "OLE error" and the code
std::string status_text(HRESULT status) { return platform::system_text(status); }

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
// where the caller asks where
[[noreturn]] void throw_parse_error(IXMLDOMDocument2 *document, BookStream *source, bool explain) {
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
    if (!explain) throw ReadError(text); // the verdict alone: its place would cost a second read
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

// Wine's document object answers some documents otherwise than Windows' own, and keeps state that
// two loads at once would share
bool under_wine() {
    static const bool wine = [] {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
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

// Each query's answer in turn; one the object fails on is answered with its failure, and the ones
// after it are not asked.
std::vector<Answer> answers(IXMLDOMDocument2 *document, BookStream *source,
                            std::span<const std::u16string_view> queries, bool explain) {
    Variant from;
    V_VT(&from.get()) = VT_UNKNOWN;
    V_UNKNOWN(&from.get()) = static_cast<IStream *>(source);
    source->AddRef(); // the variant's own reference, released with it
    const HRESULT loaded = load(document, from.get());
    // a judging filter that stopped the stream gave up, or found a fault itself
    if (source->outcome() == filter::Outcome::gave_up) throw GaveUp{};
    if (source->outcome() == filter::Outcome::fault) throw ReadError(source->fault());
    check(loaded, document, iid_dom_document2);

    Com<IXMLDOMElement> root;
    check(document->get_documentElement(root.put()), document, iid_dom_document2);
    if (!root) throw_parse_error(document, source, explain);

    std::vector<Answer> out(queries.size());
    for (size_t i = 0; i < queries.size(); ++i) {
        try {
            out[i] = answer(root.get(), queries[i]);
        } catch (const ReadError &e) {
            out[i].child = Child::failed;
            out[i].failure = e.what();
            break;
        }
    }
    return out;
}

filter::Rules rules(const QuerySet &set, const Settings &settings) {
    filter::Rules r{settings.filter != Filter::none ? &set.reach : nullptr, filter::Columns::utf16_units,
                    &xmldoc::upper_half};
    r.judge = settings.filter == Filter::judge;
    return r;
}

// One read by settings, in passes (passes.h); open(rules) gives the stream over the book.
template <class Open>
std::vector<Answer> read(std::span<const std::u16string_view> queries, const Settings &settings, Open &&open) {
    const auto set = query_set(queries);
    const auto pass = [&](const Settings &how) {
        // created before the book is opened: a thread without COM fails with the class's message
        const Com<IXMLDOMDocument2> document = create_document();
        const Com<BookStream> stream = open(rules(*set, how));
        // what the stream reads goes with this pass, whatever the object keeps
        struct Detach {
            BookStream *book;
            ~Detach() { book->detach(); }
        } detach{stream.get()};
        return answers(document.get(), stream.get(), queries, how.explain);
    };
    // (a file that cannot be opened fails alike every way: it is not read again)
    try {
        return read_in_passes(settings, pass);
    } catch (const platform::FileError &e) {
        throw ReadError(e.what());
    }
}

} // namespace
} // namespace windows

std::vector<Answer> first_children(const std::u16string &path, std::span<const std::u16string_view> queries,
                                   const Settings &settings) {
    return windows::read(queries, settings, [&](const filter::Rules &rules) {
        auto file = std::make_unique<platform::File>(path);
        windows::Com<BookStream> stream;
        *stream.put() = BookStream::over_file(std::move(file), rules); // it owns the file now
        if (!stream) throw std::bad_alloc();
        return stream;
    });
}

std::vector<Answer> first_children_in(std::string_view document, std::span<const std::u16string_view> queries,
                                      size_t chunk, const Settings &settings) {
    // the object parses in one go; chunk cuts what the filter takes at a time
    return windows::read(queries, settings, [&](const filter::Rules &rules) {
        windows::Com<BookStream> stream;
        *stream.put() = BookStream::over_memory(document, chunk, rules);
        if (!stream) throw std::bad_alloc();
        return stream;
    });
}

void release_caches() { release_query_sets(); }

} // namespace xmldoc
