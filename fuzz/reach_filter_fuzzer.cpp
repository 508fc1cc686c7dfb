// The reach filter on arbitrary bytes. The last input byte picks how the document (every byte before
// it) is cut into pieces; however it is cut, the output must be the one of the document filtered at
// once; that output may differ from the document only by bytes left out that are never '<', '&', ']'
// or a line break; without queries nothing changes; and Expat must find it well-formed exactly when
// the document is, or fail with the same fault at the same line and, found again, column. Judging, at
// every width and however cut, it finds a fault only where Expat does, and otherwise gives the parser
// a document it finds well-formed exactly when the document is.
#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "reach_filter.h"
#include "reach_filter_checks.h"

namespace {

// tiny pieces most of the time, since those find the lexer's edges; now and then small and large ones
// in turn, so that vector blocks and characters are cut both ways. A document far longer than the
// fuzzer writes (a real book replayed) is cut as many times as one of 64 KiB would be, at most.
std::vector<size_t> cuts_from(uint8_t selector, size_t size) {
    const size_t scale = size > (64u << 10) ? size / (64u << 10) : 1;
    if (selector < 160) return {(size_t{1} + selector % 5) * scale};
    if (selector < 224) return {(size_t{1} + selector % 7) * scale, (size_t{1} + (selector * 37u) % 200) * scale};
    return {static_cast<size_t>(selector - 223) * 61 * scale};
}

struct Verdict {
    bool ok;
    int code;
    unsigned long line;
    int64_t column;
    bool operator==(const Verdict &) const = default;
};

// original: the document a filtered one came from, to find its columns in
Verdict expat_verdict(std::string_view doc, std::string_view original = {}) {
    XML_Parser p = XML_ParserCreate(nullptr);
    FUZZ_CHECK(p);
    const bool ok = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), XML_TRUE) == XML_STATUS_OK;
    Verdict v{ok, 0, 0, 0};
    if (!ok) {
        v.code = static_cast<int>(XML_GetErrorCode(p));
        v.line = XML_GetCurrentLineNumber(p);
        v.column = static_cast<int64_t>(XML_GetCurrentColumnNumber(p));
        if (!original.empty())
            v.column += filter::column_shift(filter_checks::rules(), filter_checks::reader(original),
                                             static_cast<uint64_t>(XML_GetCurrentByteIndex(p)));
    }
    XML_ParserFree(p);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::string_view doc(reinterpret_cast<const char *>(data), size - 1);
    const std::vector<size_t> cuts = cuts_from(data[size - 1], doc.size());

    const std::string whole = filter_checks::filtered(doc, 0);
    FUZZ_CHECK(filter_checks::broken(doc, whole).empty());
    FUZZ_CHECK(filter_checks::filtered(doc, cuts) == whole);
    // no queries: nothing changes
    FUZZ_CHECK(filter_checks::filtered(doc, cuts, nullptr) == doc);
    const Verdict original = expat_verdict(doc);
    if (whole != doc) FUZZ_CHECK(expat_verdict(whole, doc) == original);

    // judging, at every width and however cut: a fault only where Expat finds one, and otherwise the
    // parser finds what it is given well-formed exactly when the document is (where it gave up, the
    // document is read the exact way)
    using filter::simd::Level;
    const auto judged = filter_checks::run_filter(doc, {0}, filter_checks::judging());
    for (const Level level : {Level::bytes, Level::sse2})
        FUZZ_CHECK(filter_checks::run_filter(doc, {0}, filter_checks::judging(level)).out == judged.out);
    for (const auto &j : {judged, filter_checks::run_filter(doc, cuts, filter_checks::judging())}) {
        if (j.outcome == filter::Outcome::fault) FUZZ_CHECK(!original.ok);
        if (j.outcome == filter::Outcome::going) FUZZ_CHECK(expat_verdict(j.out).ok == original.ok);
    }
    return 0;
}
