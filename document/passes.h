// The passes of a read, the same on every back end: judging first; again the exact way where the
// judging filter gave up, or where the read failed and the caller asks why (then the message, line
// and column are the parser's own).
#pragma once

#include "error.h"
#include "xmldoc.h"

namespace xmldoc {

// what a judging pass throws when its filter cannot judge the document
struct GaveUp {};

// pass(settings) reads the document once, as settings say
template <class Pass> auto read_in_passes(const Settings &settings, Pass &&pass) {
    if (settings.filter != Filter::judge) return pass(settings);
    try {
        return pass(Settings{Filter::judge, false});
    } catch (const GaveUp &) {
    } catch (const ReadError &) {
        if (!settings.explain) throw;
    }
    return pass(Settings{Filter::exact, settings.explain});
}

} // namespace xmldoc
