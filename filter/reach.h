// Which elements' content a set of paths can reach: an element that a path's last step selects, and
// everything inside it (indexes aside, so every one of several such siblings). The elements on the
// way there are only passed through: their own text is no path's answer, nor is anything outside.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace filter {

class Reach {
public:
    // what an element is to the paths, found from its parent's
    using Node = int32_t;
    static constexpr Node document = 0;
    static constexpr Node none = -1;  // no path goes through it or into it
    static constexpr Node whole = -2; // a path selects it: all of it can be reached

    // each path: the names of its element steps from the root, as written in a document (UTF-8)
    explicit Reach(std::span<const std::vector<std::string>> paths);

    // the element named so under parent (an on-the-way node), names compared as written
    Node child(Node parent, std::string_view name) const;
    // the bytes of the longest name a path names
    size_t longest() const { return longest_; }

private:
    struct Entry {
        Node parent;
        std::string name;
        Node node; // none never: an entry is a step of some path
    };
    std::vector<Entry> entries_;
    Node nodes_ = 1;
    size_t longest_ = 0;
};

} // namespace filter
