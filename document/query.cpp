#include "query.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "resident.h"
#include "unicode.h"

namespace xmldoc {

Query parse_query(std::u16string_view text) {
    const std::string q = unicode::utf16_to_utf8(text);
    const auto bad = [&q] { return std::invalid_argument("bad query: " + q); };
    if (q.empty() || q[0] != '/') throw std::invalid_argument("query must start at the root: " + q);
    Query query;
    size_t pos = 1;
    while (pos <= q.size()) {
        size_t end = q.find('/', pos);
        if (end == std::string::npos) end = q.size();
        std::string step = q.substr(pos, end - pos);
        if (step.empty() || !query.attribute.empty()) throw bad();
        if (step[0] == '@') {
            query.attribute = step.substr(1);
            if (query.attribute.empty()) throw bad();
        } else {
            Step s;
            if (const size_t open = step.find('['); open != std::string::npos) {
                // digits only, and few enough for an int
                if (step.back() != ']' || open + 2 >= step.size() || step.size() - open - 2 > 9) throw bad();
                s.index = 0;
                for (size_t i = open + 1; i + 1 < step.size(); ++i) {
                    if (step[i] < '0' || step[i] > '9') throw bad();
                    s.index = s.index * 10 + (step[i] - '0');
                }
                step.resize(open);
            }
            if (step.empty()) throw bad();
            s.name = std::move(step);
            query.elements.push_back(std::move(s));
        }
        pos = end + 1;
    }
    if (query.elements.empty()) throw bad();
    return query;
}

namespace {

std::vector<Query> parse_all(std::span<const std::u16string_view> texts) {
    if (texts.size() > 32) throw std::invalid_argument("at most 32 queries");
    std::vector<Query> out;
    for (const auto t : texts) out.push_back(parse_query(t));
    return out;
}

filter::Reach reach_of(std::span<const Query> queries) {
    std::vector<std::vector<std::string>> paths;
    for (const Query &q : queries) {
        std::vector<std::string> &names = paths.emplace_back();
        for (const Step &s : q.elements) names.push_back(s.name);
    }
    return filter::Reach(paths);
}

} // namespace

QuerySet::QuerySet(std::span<const std::u16string_view> q)
    : texts(q.begin(), q.end()), queries(parse_all(q)), reach(reach_of(queries)) {
    for (const Query &query : queries) {
        max_depth = std::max(max_depth, query.elements.size());
        for (const Step &s : query.elements)
            if (s.index >= 0 && std::find(counted.begin(), counted.end(), s.name) == counted.end())
                counted.push_back(s.name);
    }
}

namespace {

struct Sets {
    std::mutex lock;
    std::vector<std::shared_ptr<const QuerySet>> sets;
};

} // namespace

std::shared_ptr<const QuerySet> query_set(std::span<const std::u16string_view> queries) {
    constexpr size_t max_sets = 8;
    Sets &kept = resident<Sets>();
    {
        std::lock_guard guard(kept.lock);
        for (const auto &s : kept.sets)
            if (std::equal(s->texts.begin(), s->texts.end(), queries.begin(), queries.end())) return s;
    }
    auto set = std::make_shared<const QuerySet>(queries);
    std::lock_guard guard(kept.lock);
    if (kept.sets.size() < max_sets) kept.sets.push_back(set);
    return set;
}

void release_query_sets() {
    Sets &kept = resident<Sets>();
    std::lock_guard guard(kept.lock);
    std::vector<std::shared_ptr<const QuerySet>>().swap(kept.sets); // (its storage too)
}

} // namespace xmldoc
