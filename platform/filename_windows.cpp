#include "filename.h"

namespace filename {

std::u16string_view key(std::u16string_view name, std::u16string &scratch) {
    scratch.assign(name);
    for (char16_t &c : scratch)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
    return scratch;
}

bool names_the_same_file(std::string_view, std::u16string_view) { return true; }

} // namespace filename
