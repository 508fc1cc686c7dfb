// How the platform compares file names: the cache key of a name.
#pragma once

#include <string>
#include <string_view>

namespace filename {

// Windows names that differ only in ASCII case name the same file, so they fold to one key there
// (built in scratch); POSIX file systems tell A.FB2 from a.fb2, so a name is its own key.
std::u16string_view key(std::u16string_view name, std::u16string &scratch);

// Whether the wide form of a host's ANSI name opens the file the ANSI name means. On Windows it
// does: the system's own ANSI file functions widen with the same code page, so two byte spellings of
// one character name one file. On POSIX a name that is not valid UTF-8 widens to U+FFFD, which would
// name some other file.
bool names_the_same_file(std::string_view ansi, std::u16string_view wide);

} // namespace filename
