#include "filename.h"

namespace filename {

std::u16string_view key(std::u16string_view name, std::u16string &) { return name; }

} // namespace filename
