// How the platform compares file names: the cache key of a name.
#pragma once

#include <string>
#include <string_view>

namespace filename {

// Windows names that differ only in ASCII case name the same file, so they fold to one key there
// (built in scratch); POSIX file systems tell A.FB2 from a.fb2, so a name is its own key.
std::u16string_view key(std::u16string_view name, std::u16string &scratch);

} // namespace filename
