// How the platform compares file names: the cache key of a name.
#pragma once

#include <string>

namespace filename {

// Windows names differ only in ASCII case for the same file, so they are folded to one key there;
// POSIX file systems tell A.FB2 from a.fb2, so the name is its own key.
void to_key(std::u16string &name);

} // namespace filename
