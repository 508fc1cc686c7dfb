#include "filename.h"

#include "codepage.h"

namespace filename {

std::u16string_view key(std::u16string_view name, std::u16string &) { return name; }

bool names_the_same_file(std::string_view ansi, std::u16string_view wide) { return codepage::narrow(wide) == ansi; }

} // namespace filename
