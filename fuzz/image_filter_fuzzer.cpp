// The image filter on arbitrary bytes. The last input byte picks how the document (every byte before
// it) is cut into pieces; however it is cut, the output must be the one of the document filtered at
// once; that output may differ from the document only by base64 characters, spaces and tabs left out
// or turned into spaces; and Expat must find it well-formed exactly when the document is, or fail
// with the same fault at the same line and column.
#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "image_filter.h"
#include "image_filter_checks.h"

namespace {

constexpr size_t max_held = xmldoc::ImageFilter::max_held;

// tiny pieces most of the time, since those find the lexer's edges; now and then small and large ones
// in turn, so held lines cross pieces both ways
std::vector<size_t> cuts_from(uint8_t selector) {
    if (selector < 160) return {size_t{1} + selector % 5};
    if (selector < 224) return {size_t{1} + selector % 7, size_t{1} + (selector * 37u) % (2 * max_held)};
    return {static_cast<size_t>(selector - 223) * 61};
}

struct Verdict {
    bool ok;
    int code;
    unsigned long line, column;
    bool operator==(const Verdict &) const = default;
};

Verdict expat_verdict(std::string_view doc) {
    XML_Parser p = XML_ParserCreate(nullptr);
    FUZZ_CHECK(p);
    const bool ok = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), XML_TRUE) == XML_STATUS_OK;
    const Verdict v{ok, ok ? 0 : static_cast<int>(XML_GetErrorCode(p)), ok ? 0 : XML_GetCurrentLineNumber(p),
                    ok ? 0 : XML_GetCurrentColumnNumber(p)};
    XML_ParserFree(p);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::string_view doc(reinterpret_cast<const char *>(data), size - 1);
    const std::vector<size_t> cuts = cuts_from(data[size - 1]);

    const std::string whole = filter_checks::filtered(doc, "binary", 0);
    FUZZ_CHECK(filter_checks::broken(doc, whole).empty());
    FUZZ_CHECK(filter_checks::filtered(doc, "binary", cuts) == whole);
    FUZZ_CHECK(filter_checks::filtered(doc, "binary", cuts, true) == whole);
    // no name: nothing changes
    FUZZ_CHECK(filter_checks::filtered(doc, "", cuts) == doc);
    if (whole != doc) FUZZ_CHECK(expat_verdict(whole) == expat_verdict(doc));
    return 0;
}
