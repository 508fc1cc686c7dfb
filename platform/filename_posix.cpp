#include "filename.h"

namespace filename {

void to_key(std::u16string &) {}

} // namespace filename
