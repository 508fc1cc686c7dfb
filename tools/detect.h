// The detect string a plug-in publishes, evaluated the way a host decides which files to ask about.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace detect {

// a detect string this evaluator does not understand: what and where
class SyntaxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Forms understood: EXT="X" and EXT!="X" (the extension compared without regard to ASCII case),
// joined with | (or), & (and), ! (not) and parentheses; & binds tighter than |. An empty string
// accepts every file.
class Expression {
public:
    static Expression parse(std::string_view text); // throws SyntaxError
    bool accepts(std::string_view extension) const; // extension in UTF-8, without the dot
    bool accepts_file(const std::filesystem::path &file) const;

private:
    enum class Op { ext_is, ext_is_not, not_, and_, or_ };
    struct Node {
        Op op;
        std::string text; // ext_is, ext_is_not
        int a = -1, b = -1; // operands of not_, and_, or_
    };
    std::vector<Node> nodes_; // the root is last; empty accepts all
    friend class Parser;

    bool eval(int node, std::string_view extension) const;
};

// the text after the last dot of the file's name, or empty when the name has no dot
std::string extension_of(const std::filesystem::path &file);

} // namespace detect
