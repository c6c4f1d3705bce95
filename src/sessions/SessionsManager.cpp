#include "sessions/SessionsManager.hpp"

#include "effects/EQEffect.hpp"
#include "effects/Effect.hpp"
#include "engine/Core.hpp"
#include "sessions/SessionFile.hpp"
#include "sessions/SessionValidator.hpp"
#include "utilities/Log.hpp"

#include <chrono>
#include <climits>

using nlohmann::json;

namespace {

// Objects here are filled key by key: a braced list builds every pair as an array first and then
// copies it, about three times the allocations, and saves are made of little else.
json parameterBlock(const audio::StreamParameters& parameters) {
    json block = json::object();
    block["deviceId"] = parameters.deviceId;
    block["nChannels"] = parameters.nChannels;
    block["firstChannel"] = parameters.firstChannel;
    return block;
}

// One entry per readable parameter, as JSON doubles.
template <class Owner>
json readParameters(const Owner& owner) {
    json parameters;
    for (const auto& [name, getter] : owner.getGetters()) parameters[name] = static_cast<double>((owner.*getter)());
    return parameters;
}

// Filters sit at the index of their id; ids removed earlier leave null behind.
json filtersOf(const Effect& effect) {
    json filters;
    const auto* equalizer = dynamic_cast<const EQEffect*>(&effect);
    if (!equalizer) return filters;
    for (const auto& filter : equalizer->getFilters()) {
        json saved = readParameters(*filter);
        saved["id"] = filter->getId();
        saved["name"] = filter->getName();
        filters[filter->getId()] = std::move(saved);
    }
    return filters;
}

json effectObject(const Effect& effect) {
    json saved = json::object();
    saved["name"] = effect.getName();
    saved["enable"] = effect.getEnable();
    if (effect.getName() == "EQEffect") saved["filters"] = filtersOf(effect);
    else saved["parameters"] = readParameters(effect);
    return saved;
}

// A path the system could not open anyway is refused before it is logged or stored: it may be
// megabytes long, and every log line and the saved header would repeat it.
bool isAcceptablePath(const std::string& path, const char* context) {
    if (path.size() < PATH_MAX) return true;
    Utilities::error("Session path refused: " + std::to_string(path.size()) + " bytes is beyond the limit of " +
                         std::to_string(PATH_MAX - 1),
                     context, __LINE__);
    return false;
}

} // namespace

SessionsManager::SessionsManager(Core* core) : core(core), session(std::make_shared<json>()) {
    Utilities::log("SessionsManager constructor");
}

// ---- Saving ----

int SessionsManager::saveSession(const std::string& path) {
    if (!isAcceptablePath(path, "saveSession")) return -1;
    Utilities::log("Saving session " + path);
    *session = json::array();
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    session->push_back({{"sessionName", path}, {"date", std::chrono::duration_cast<std::chrono::seconds>(now).count()}});
    createJsonObj();
    // Written beside the target and renamed over it: a failed save never damages the previous file.
    // Names come from clients and servers and need not be UTF-8, which JSON text must be: a byte
    // that is not is saved as U+FFFD rather than failing the save (or, thrown, ending the engine).
    std::string reason;
    if (!replaceFileContents(path, session->dump(4, ' ', false, json::error_handler_t::replace), &reason)) {
        Utilities::error("Could not create session file: " + path + (reason.empty() ? "" : " (" + reason + ")"),
                         "saveSession", __LINE__);
        return -1;
    }
    Utilities::success("Session saved: " + path, "saveSession", __LINE__);
    return 0;
}

void SessionsManager::createJsonObj() {
    json streams;
    for (const auto& stream : core->getStreams()) {
        json saved = json::object();
        saved["streamId"] = stream->getStreamId();
        saved["inputDeviceId"] = stream->getInputDeviceId();
        saved["outputDeviceId"] = stream->getOutputDeviceId();
        // Names let a load find the devices again when another enumeration gave them new ids.
        saved["inputDeviceName"] = stream->knownInputDeviceName();
        saved["outputDeviceName"] = stream->knownOutputDeviceName();
        saved["nChannelsInput"] = stream->getNChannelsInput();
        saved["nChannelsOutput"] = stream->getNChannelsOutput();
        saved["sampleRate"] = stream->getSampleRate();
        saved["bufferFrames"] = stream->getBufferFrames();
        saved["inputParameters"] = parameterBlock(stream->getInputParameters());
        saved["outputParameters"] = parameterBlock(stream->getOutputParameters());
        const auto options = stream->getOptions();
        json& savedOptions = saved["options"];
        savedOptions["flags"] = options.flags;
        savedOptions["numberOfBuffers"] = options.numberOfBuffers;
        savedOptions["streamName"] = options.streamName;
        savedOptions["priority"] = options.priority;
        // One halted by a lost device, or waiting for its devices, is saved as its user left it.
        saved["isStarted"] = stream->isMeantToRun();
        saved["effects"] = getEffects(stream);
        streams.push_back(std::move(saved));
    }
    session->push_back(std::move(streams));

    json master;
    for (const auto& effect : core->getMasterEffects())
        if (effect) master.push_back(effectObject(*effect));
    session->push_back(std::move(master));

    // Groups only when there are some, so a set-up without them saves in the three-element layout.
    const auto groups = core->getStreamGroupSyncs();
    if (groups.empty()) return;
    json saved = json::array();
    for (const auto& group : groups) {
        json members = json::array();
        for (const auto& stream : core->getStreams())
            if (stream->getGroupID() == static_cast<int>(group->getGroupId())) members.push_back(stream->getStreamId());
        const auto [red, green, blue] = group->getColor();
        json entry = json::object();
        entry["groupId"] = group->getGroupId();
        entry["color"] = json::array({red, green, blue});
        entry["volumeLevel"] = group->getVolumeLevel();
        entry["volumeRatio"] = group->getVolumeRatio();
        entry["effects"] = group->getEffects();
        entry["members"] = std::move(members);
        saved.push_back(std::move(entry));
    }
    session->push_back(std::move(saved));
}

json SessionsManager::getEffects(const std::shared_ptr<Stream>& stream) const {
    json effects;
    for (const auto& effect : stream->getEffects())
        if (effect) effects.push_back(effectObject(*effect));
    return effects;
}

// ---- Loading ----

int SessionsManager::loadSession(const std::string& path) {
    if (!isAcceptablePath(path, "loadSession")) return -1;
    Utilities::log("Loading session " + path);
    // Only a regular file of a bounded size, looked at before it is opened: a FIFO would hold the
    // engine until someone writes to it, a huge file would hold its memory.
    std::string contents, reason;
    if (!readBoundedFile(path, kMaxSessionBytes, contents, reason)) {
        Utilities::error("Could not open session file: " + path + " (" + reason + ")", "loadSession", __LINE__);
        return -1;
    }
    try {
        *session = json::parse(contents, nullptr, true, false);
    } catch (const std::exception&) { // a malformed or cut-short document
        *session = nullptr;
    }
    if (session->is_null()) {
        Utilities::error("Could not parse session file: " + path, "loadSession", __LINE__);
        return -1;
    }
    // Checked whole before anything is cleared: a file that cannot load leaves the engine as it was.
    if (const std::string refusal = sessionRefusal(*session); !refusal.empty()) {
        // The detail first: it is the reason a client of the command door is given.
        Utilities::error("Session refused: " + refusal, "loadSession", __LINE__);
        Utilities::error("Could not load session file: " + path, "loadSession", __LINE__);
        return -1;
    }
    clearCurrentSession();
    const json none;
    const json& document = *session;
    try {
        restoreStreams(document.size() > 1 ? document[1] : none);
        restoreMasterEffects(document.size() > 2 ? document[2] : none);
        restoreStreamGroups(document.size() > 3 ? document[3] : none);
    } catch (const std::exception&) {
        Utilities::error("Could not load session file: " + path, "loadSession", __LINE__);
        return -1;
    }
    Utilities::success("Session loaded: " + path, "loadSession", __LINE__);
    return 0;
}

void SessionsManager::clearCurrentSession() {
    core->clearStreamGroups();
    Utilities::log("Stream vector length: " + std::to_string(core->getStreams().size()), "clearCurrentSession",
                   __LINE__);
    core->clearStreams();
    Utilities::log("Stream vector length: " + std::to_string(core->getStreams().size()), "clearCurrentSession",
                   __LINE__);
    if (core->clearMasterEffects() != 0)
        Utilities::error("Error while clearing master effects", "clearCurrentSession", __LINE__);
}
