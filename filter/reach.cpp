#include "reach.h"

#include <algorithm>

namespace filter {

Reach::Reach(std::span<const std::vector<std::string>> paths) {
    for (const std::vector<std::string> &path : paths) {
        Node at = document;
        for (size_t i = 0; i < path.size() && at != whole; ++i) {
            const std::string &name = path[i];
            longest_ = std::max(longest_, name.size());
            const bool last = i + 1 == path.size();
            Entry *found = nullptr;
            for (Entry &e : entries_)
                if (e.parent == at && e.name == name) found = &e;
            if (!found) {
                entries_.push_back({at, name, last ? whole : nodes_++});
                at = entries_.back().node;
            } else {
                // a selected element holds whatever another path looks for inside it
                if (last) found->node = whole;
                at = found->node;
            }
        }
    }
}

Reach::Node Reach::child(Node parent, std::string_view name) const {
    if (parent < 0) return parent; // nothing inside none or whole is told apart
    for (const Entry &e : entries_)
        if (e.parent == parent && e.name == name) return e.node;
    return none;
}

} // namespace filter
