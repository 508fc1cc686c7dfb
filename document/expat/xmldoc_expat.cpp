// The document layer on Expat: one streaming pass, no tree. The book's bytes go to the selector piece
// by piece, through at most one stage chosen from its first bytes.
#include "xmldoc.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "encoding_iconv.h"
#include "error.h"
#include "file.h"
#include "passes.h"
#include "prolog.h"
#include "query.h"
#include "selector.h"
#include "source.h"
#include "stages.h"
#include "upper_half.h"

namespace xmldoc {

namespace expat {
namespace {

// Hands the parser the book piece by piece through one reused buffer, and through the stage its
// first bytes call for.
void feed(Selector &sel, Source &source, const QuerySet &set, const Settings &settings) {
    const Prolog prolog = sniff(source.head());
    std::unique_ptr<Stage> stage;
    LeaveOut *leave_out = nullptr;
    filter::Rules rules{&set.reach, filter::Columns::characters, &xmldoc::upper_half};
    rules.judge = settings.filter == Filter::judge;
    if (prolog.family != Family::bytes) {
        // UCS-2 and its other names are UTF-16 to the platform; Expat knows only its own spellings
        if (!prolog.encoding.empty() && !encoding::expat_decodes(prolog.encoding) &&
            encoding::canonical(prolog.encoding) == "UTF-16")
            sel.set_encoding("UTF-16");
        stage = std::make_unique<Utf16Guard>(prolog.family == Family::utf16be);
    } else {
        // the filter knows the encodings it works in and turns itself off in any other
        if (settings.filter != Filter::none) {
            auto f = std::make_unique<LeaveOut>(rules);
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
                sel.set_encoding(name.c_str());
        } else if (!encoding::find_table(name)) {
            // a table for Expat's unknown-encoding handler where one can describe the encoding (the
            // handler finds the same one), else the book converted as it is read
            if (auto stream = encoding::Utf8Stream::open(name, prolog.declaration)) {
                // (no filter here: its bytes may be parts of other characters)
                sel.set_encoding("UTF-8"); // the declaration no longer says what the bytes are
                stage = std::make_unique<ToUtf8>(std::move(stream));
                leave_out = nullptr;
            }
        }
    }
    if (leave_out && settings.explain)
        sel.columns_from([leave_out, rules, &source](uint64_t at) -> int64_t {
            return leave_out->left_out() ? filter::column_shift(rules, source.again(), at) : 0;
        });
    // (what it holds goes with this call: every fault is told before it returns)
    struct Forget {
        Selector &sel;
        ~Forget() { sel.columns_from(nullptr); }
    } forget{sel};

    // without deferral, a token longer than many pieces is parsed again from its start with each
    // one: past a few pieces deferral comes back on for the book, so that the work stays linear
    bool deferring = !sel.defer(false);
    uint64_t given = 0;
    // A piece never ends in a CR: Expat counts a CR at the end of what it has parsed, and a line
    // feed at the start of the next call, as two line breaks, and how far it parses into a call
    // depends on where earlier calls were cut. The CR goes ahead of the next piece's bytes.
    bool cr_held = false;

    const Piece buffer;
    for (;;) {
        const size_t got = source.read(buffer.data(), piece_size);
        const bool last = source.done();
        std::string_view out = stage ? stage->apply(buffer.data(), got, last) : std::string_view(buffer.data(), got);
        const bool cr_first = std::exchange(cr_held, false);
        if (!last && !out.empty() && out.back() == '\r') {
            out.remove_suffix(1);
            cr_held = true;
        }
        if (leave_out && leave_out->filter().outcome() != filter::Outcome::going) {
            if (leave_out->filter().outcome() == filter::Outcome::gave_up) throw GaveUp{};
            // a fault the parser finds in what came before the filter's is the one told
            sel.parse(out, cr_first, false);
            throw ReadError(leave_out->filter().fault());
        }
        sel.parse(out, cr_first, last);
        if (last) break;
        given += out.size() + (cr_first ? 1 : 0);
        // after a call, the byte index is where the token it could not finish begins
        const int64_t open = sel.open_token();
        if (!deferring && open >= 0 && given - static_cast<uint64_t>(open) > 4 * piece_size) deferring = sel.defer(true);
    }
}

// One read of the book by settings, in passes (passes.h)
template <class Make>
std::vector<Answer> read(std::span<const std::u16string_view> queries, const Settings &settings, Make &&make_source) {
    const auto set = query_set(queries);
    const auto pass = [&](const Settings &how) {
        Selector sel(set, how.explain);
        auto source = make_source();
        feed(sel, source, *set, how);
        return sel.take_answers();
    };
    try {
        return read_in_passes(settings, pass);
    } catch (const platform::FileError &e) {
        throw ReadError(e.what());
    }
}

} // namespace
} // namespace expat

std::vector<Answer> first_children(const std::u16string &path, std::span<const std::u16string_view> queries,
                                   const Settings &settings) {
    return expat::read(queries, settings, [&] { return expat::FileSource(path); });
}

std::vector<Answer> first_children_in(std::string_view document, std::span<const std::u16string_view> queries,
                                      size_t chunk, const Settings &settings) {
    return expat::read(queries, settings, [&] {
        return expat::MemorySource(document, chunk == 0 ? expat::piece_size : std::min(chunk, expat::piece_size));
    });
}

void release_caches() {
    release_query_sets();
    expat::release_pieces();
    expat::release_parsers();
    expat::encoding::release_tables();
}

} // namespace xmldoc
