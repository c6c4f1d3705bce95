#pragma once

// A server's own names for its devices to ids from 129 up, so 0 keeps meaning "no device": a device
// keeps its id for the life of the process, gets it back when it returns, and no other device is
// ever given it. `Kind` tells apart devices a server lets share a name (a sink and a source).

#include "audio/BackEnd.hpp"

#include <map>
#include <string>
#include <utility>

namespace audio::detail {

template <class Kind>
class DeviceIds {
public:
    DeviceId idFor(Kind kind, const std::string& serverName) {
        auto [it, added] = ids_.try_emplace({kind, serverName}, nextId_);
        if (added) ++nextId_;
        return it->second;
    }

private:
    std::map<std::pair<Kind, std::string>, DeviceId> ids_;
    DeviceId nextId_{129};
};

} // namespace audio::detail
