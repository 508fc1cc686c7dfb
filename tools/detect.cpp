#include "detect.h"

#include <cctype>

#include "os.h"

namespace detect {

namespace {

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ascii_case_folded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

} // namespace

// recursive descent over: or := and ('|' and)* ; and := unary ('&' unary)* ;
// unary := '!' unary | '(' or ')' | 'EXT' ('=' | '!=') '"' text '"'
class Parser {
public:
    Parser(std::string_view text, Expression &out) : s_(text), out_(out) {}

    void run() {
        skip_space();
        if (at_end()) return;
        parse_or();
        skip_space();
        if (!at_end()) fail("unexpected '" + std::string(1, s_[i_]) + "'");
    }

private:
    std::string_view s_;
    size_t i_ = 0;
    Expression &out_;
    int depth_ = 0;

    bool at_end() const { return i_ >= s_.size(); }
    void skip_space() {
        while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    }
    [[noreturn]] void fail(const std::string &what) const {
        throw SyntaxError(what + " at offset " + std::to_string(i_) + " of detect string '" + std::string(s_) + "'");
    }
    bool take(char c) {
        skip_space();
        if (!at_end() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    int add(Expression::Node n) {
        out_.nodes_.push_back(std::move(n));
        return static_cast<int>(out_.nodes_.size()) - 1;
    }

    int parse_or() {
        int left = parse_and();
        while (take('|')) left = add({Expression::Op::or_, {}, left, parse_and()});
        return left;
    }
    int parse_and() {
        int left = parse_unary();
        while (take('&')) left = add({Expression::Op::and_, {}, left, parse_unary()});
        return left;
    }
    int parse_unary() {
        // a hostile plug-in could nest without end; a real detect string never goes deep
        if (++depth_ > 200) fail("nesting too deep");
        int r;
        skip_space();
        if (at_end()) fail("expression expected");
        if (s_[i_] == '!' && !(i_ + 1 < s_.size() && s_[i_ + 1] == '=')) {
            ++i_;
            r = add({Expression::Op::not_, {}, parse_unary(), -1});
        } else if (take('(')) {
            r = parse_or();
            if (!take(')')) fail("')' expected");
        } else {
            r = parse_ext();
        }
        --depth_;
        return r;
    }
    int parse_ext() {
        size_t start = i_;
        while (!at_end() && std::isalpha(static_cast<unsigned char>(s_[i_]))) ++i_;
        const std::string_view word = s_.substr(start, i_ - start);
        if (!same_ascii_case_folded(word, "ext")) {
            i_ = start;
            fail(word.empty() ? "expression expected" : "unsupported term '" + std::string(word) + "'");
        }
        Expression::Op op;
        skip_space();
        if (take('=')) op = Expression::Op::ext_is;
        else if (s_.substr(i_, 2) == "!=") i_ += 2, op = Expression::Op::ext_is_not;
        else fail("'=' or '!=' expected after EXT");
        skip_space();
        if (!take('"')) fail("'\"' expected");
        start = i_;
        while (!at_end() && s_[i_] != '"') ++i_;
        if (at_end()) fail("unterminated string");
        std::string text(s_.substr(start, i_ - start));
        ++i_;
        return add({op, std::move(text)});
    }
};

Expression Expression::parse(std::string_view text) {
    Expression e;
    Parser(text, e).run();
    return e;
}

bool Expression::accepts(std::string_view extension) const {
    return nodes_.empty() || eval(static_cast<int>(nodes_.size()) - 1, extension);
}

bool Expression::accepts_file(const std::filesystem::path &file) const { return accepts(extension_of(file)); }

bool Expression::eval(int node, std::string_view extension) const {
    const Node &n = nodes_[static_cast<size_t>(node)];
    switch (n.op) {
    case Op::ext_is: return same_ascii_case_folded(n.text, extension);
    case Op::ext_is_not: return !same_ascii_case_folded(n.text, extension);
    case Op::not_: return !eval(n.a, extension);
    case Op::and_: return eval(n.a, extension) && eval(n.b, extension);
    case Op::or_: return eval(n.a, extension) || eval(n.b, extension);
    }
    return false;
}

std::string extension_of(const std::filesystem::path &file) {
    // by hand rather than path::extension(): a name like ".fb2" has the extension fb2 for a host
    // not u8string(): it throws on a Windows name with an unpaired surrogate
    const std::string name = os::shown(file.filename());
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

} // namespace detect
