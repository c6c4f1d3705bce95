#include "groups/StreamGroupSync.hpp"

#include "utilities/Log.hpp"

#include <algorithm>

StreamGroupSync::StreamGroupSync(unsigned int groupId, GroupColor color) : groupId(groupId), color(color) {
    Utilities::log("StreamGroupSync constructor", "StreamGroupSync", __LINE__);
    Utilities::logVerbatim("Group id: " + std::to_string(groupId) + " color: " + colorSwatch(color),
                           "StreamGroupSync", __LINE__);
}

StreamGroupSync::~StreamGroupSync() { Utilities::log("StreamGroupSync destructor", "~StreamGroupSync", __LINE__); }

bool StreamGroupSync::sharesEffect(const std::string& name) const {
    return std::find(effects.begin(), effects.end(), name) != effects.end();
}

void StreamGroupSync::setVolumeLevel(bool on) {
    volumeLevel = on;
    if (on) volumeRatio = false;
}

void StreamGroupSync::setVolumeRatio(bool on) {
    volumeRatio = on;
    if (on) volumeLevel = false;
}

void StreamGroupSync::addEffect(const std::string& name) { effects.push_back(name); }

void StreamGroupSync::removeEffect(const std::string& name) {
    auto it = std::find(effects.begin(), effects.end(), name);
    if (it != effects.end()) effects.erase(it);
}

std::string StreamGroupSync::colorSwatch(GroupColor color) {
    const auto [red, green, blue] = color;
    return "\x1b[48;2;" + std::to_string(red) + ";" + std::to_string(green) + ";" + std::to_string(blue) +
           "m  \x1b[0m\x1b[33m";
}
