#include "SessionDocuments.hpp"

namespace testsupport {

using nlohmann::json;

json sessionBody(json document) {
    if (document.is_array() && !document.empty()) document.erase(0);
    return document;
}

json compactFilters(json document) {
    auto compact = [](json& effects) {
        if (!effects.is_array()) return;
        for (auto& effect : effects) {
            if (effect["name"] != "EQEffect" || effect["filters"].is_null()) continue;
            json filters = json::array();
            for (auto& filter : effect["filters"])
                if (!filter.is_null()) {
                    filter["id"] = filters.size();
                    filters.push_back(filter);
                }
            effect["filters"] = filters;
        }
    };
    if (document.size() > 1 && document[1].is_array())
        for (auto& stream : document[1]) compact(stream["effects"]);
    if (document.size() > 2) compact(document[2]);
    return document;
}

} // namespace testsupport
