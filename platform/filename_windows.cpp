#include "filename.h"

namespace filename {

void to_key(std::u16string &name) {
    for (char16_t &c : name)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
}

} // namespace filename
