// Stream groups: linking streams, joining and leaving, colours and the group settings.

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <random>

std::vector<std::shared_ptr<Stream>> Core::reachedStreams(const std::shared_ptr<Stream>& stream) const {
    if (stream->getGroupID() == -1) return {stream};
    std::vector<std::shared_ptr<Stream>> members;
    for (const auto& candidate : streams)
        if (candidate->getGroupID() == stream->getGroupID()) members.push_back(candidate);
    return members;
}

std::vector<std::shared_ptr<Stream>> Core::otherMembers(int groupId, unsigned int exceptId) const {
    std::vector<std::shared_ptr<Stream>> members;
    for (const auto& candidate : streams)
        if (candidate->getGroupID() == groupId && candidate->getStreamId() != exceptId) members.push_back(candidate);
    return members;
}

int Core::linkStreams(const std::vector<unsigned int>& streamIds) {
    // Every id is checked before anything changes, so a refused link leaves the engine as it was.
    for (unsigned int id : streamIds) {
        auto stream = findStream(id, "linkStreams");
        if (!stream) return -1;
        if (stream->getGroupID() != -1) {
            Utilities::error("Stream already linked", "linkStreams", __LINE__);
            return -1;
        }
    }
    const unsigned int groupId = findAvailableStreamGroupID();
    // Seeded once: a random_device per link cost more than the link itself.
    static std::mt19937 generator(std::random_device{}());
    std::uniform_int_distribution<unsigned int> component(0, 255);
    const unsigned int red = component(generator);
    const unsigned int green = component(generator);
    const unsigned int blue = component(generator);
    streamGroupSyncs.push_back(std::make_shared<StreamGroupSync>(groupId, GroupColor{red, green, blue}));
    for (unsigned int id : streamIds)
        if (auto stream = findStream(id, "linkStreams")) stream->setGroupID(static_cast<int>(groupId));
    return 0;
}

unsigned int Core::findAvailableStreamGroupID() const {
    for (std::size_t position = 0; position < streamGroupSyncs.size(); ++position)
        if (streamGroupSyncs[position]->getGroupId() != position) return static_cast<unsigned int>(position);
    return static_cast<unsigned int>(streamGroupSyncs.size());
}

int Core::unlinkStream(unsigned int streamId) {
    auto stream = findStream(streamId, "unlinkStream");
    if (!stream) return -1;
    stream->setGroupID(-1);
    return 0;
}

int Core::addStreamToStreamGroupSync(unsigned int streamId, unsigned int groupId) {
    auto stream = findStream(streamId, "addStreamToStreamGroupSync");
    if (!stream) return -1;
    if (!getStreamGroupSyncById(groupId)) {
        Utilities::error("Group not found", "addStreamToStreamGroupSync", __LINE__);
        return -1;
    }
    stream->setGroupID(static_cast<int>(groupId));
    syncEffectStack(groupId, streamId);
    return 0;
}

namespace {

// The group, or null after logging "Stream group not found" with the operation's name.
std::shared_ptr<StreamGroupSync> groupOrLog(std::shared_ptr<StreamGroupSync> group, const char* context) {
    if (!group) Utilities::error("Stream group not found", context, __LINE__);
    return group;
}

} // namespace

int Core::setStreamsGroupColor(unsigned int groupId, GroupColor color) {
    auto group = groupOrLog(getStreamGroupSyncById(groupId), "setStreamsGroupColor");
    if (!group) return -1;
    group->setColor(color);
    Utilities::logVerbatim("Stream group (" + std::to_string(groupId) + ") color set to " +
                               StreamGroupSync::colorSwatch(color),
                           "setStreamsGroupColor", __LINE__);
    return 0;
}

int Core::setStreamGroupVolumeLevelSync(unsigned int groupId, bool on) {
    auto group = groupOrLog(getStreamGroupSyncById(groupId), "setStreamGroupVolumeLevelSync");
    if (!group) return -1;
    group->setVolumeLevel(on);
    return 0;
}

int Core::setStreamGroupVolumeRatioSync(unsigned int groupId, bool on) {
    auto group = groupOrLog(getStreamGroupSyncById(groupId), "setStreamGroupVolumeRatioSync");
    if (!group) return -1;
    group->setVolumeRatio(on);
    return 0;
}

int Core::addEffectToStreamGroupSync(unsigned int groupId, const std::string& effectName) {
    // Volume is shared only through the two sync modes, which know how to scale it.
    if (effectName == "VolumeEffect") {
        Utilities::error("Volume effect cannot be added to a group. Use setStreamGroupVolumeLevelSync or "
                         "setStreamGroupVolumeRatioSync instead",
                         "addEffectToStreamGroupSync", __LINE__);
        return -1;
    }
    auto group = groupOrLog(getStreamGroupSyncById(groupId), "addEffectToStreamGroupSync");
    if (!group) return -1;
    group->addEffect(effectName);
    return 0;
}

int Core::removeEffectFromStreamGroupSync(unsigned int groupId, const std::string& effectName) {
    auto group = groupOrLog(getStreamGroupSyncById(groupId), "removeEffectFromStreamGroupSync");
    if (!group) return -1;
    group->removeEffect(effectName);
    return 0;
}

std::shared_ptr<StreamGroupSync> Core::getStreamGroupSyncById(unsigned int groupId) const {
    for (const auto& group : streamGroupSyncs)
        if (group->getGroupId() == groupId) return group;
    return nullptr;
}

int Core::clearStreamGroups() {
    streamGroupSyncs.clear();
    for (const auto& stream : streams) stream->setGroupID(-1);
    return 0;
}
