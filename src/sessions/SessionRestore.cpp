// Rebuilding the engine from a session document that isLoadableSession accepted, so the reads
// below find every key with the type they expect.

#include "effects/EQEffect.hpp"
#include "effects/Effect.hpp"
#include "engine/Core.hpp"
#include "sessions/SessionsManager.hpp"
#include "utilities/Log.hpp"
#include "utilities/Printable.hpp"

#include <iostream>

using nlohmann::json;

namespace {

audio::StreamParameters streamParameters(const json& saved) {
    audio::StreamParameters parameters{};
    parameters.deviceId = saved.at("deviceId").get<unsigned int>();
    parameters.nChannels = saved.at("nChannels").get<unsigned int>();
    parameters.firstChannel = saved.at("firstChannel").get<unsigned int>();
    return parameters;
}

audio::StreamOptions streamOptions(const json& saved) {
    audio::StreamOptions options{};
    options.flags = saved.at("flags").get<unsigned int>();
    options.numberOfBuffers = saved.at("numberOfBuffers").get<unsigned int>();
    options.streamName = saved.at("streamName").get<std::string>();
    options.priority = saved.at("priority").get<int>();
    return options;
}

// A device name the session holds for the stream, or empty (files from before names were saved).
std::string savedName(const json& saved, const char* key) {
    const auto name = saved.find(key);
    return name == saved.end() ? std::string() : name->get<std::string>();
}

std::shared_ptr<EQEffect> firstEqualizer(const EffectChain& chain) {
    for (const auto& effect : chain)
        if (effect && effect->getName() == "EQEffect") return std::dynamic_pointer_cast<EQEffect>(effect);
    return nullptr;
}

// Adds each saved filter to `equalizer` and hands its parameters to the filter just made. Ids are
// given out afresh and consecutively, so a saved id past a removed filter would name the wrong one;
// `setParameter` gets the new id. Null entries are filters removed before the save.
template <class AddFilter, class SetParameter>
void restoreFilters(const json& filters, const std::shared_ptr<EQEffect>& equalizer, AddFilter addFilter,
                    SetParameter setParameter) {
    if (filters.is_null()) return;
    for (const auto& filter : filters) {
        if (filter.is_null()) continue;
        if (addFilter(filter.at("name").get<std::string>()) != 0 || !equalizer) continue;
        const auto rebuilt = equalizer->getFilters();
        if (rebuilt.empty()) continue;
        const unsigned int id = rebuilt.back()->getId();
        for (const auto& [key, value] : filter.items())
            if (key != "name" && key != "id") setParameter(id, key, value.template get<float>());
    }
}

} // namespace

void SessionsManager::restoreStreams(const json& streams) {
    if (streams.is_null()) return;
    for (const auto& saved : streams) restoreStream(saved);
}

unsigned int SessionsManager::resolveDevice(const json& saved, const char* idKey, const char* nameKey,
                                            bool input) const {
    const auto savedId = saved.at(idKey).get<unsigned int>();
    const auto name = saved.find(nameKey);
    audio::BackEnd* backEnd = core->audioBackEnd();
    if (name == saved.end() || !backEnd) return savedId;
    const auto& wanted = name->get_ref<const std::string&>();
    if (wanted.empty()) return savedId;
    for (const audio::Device& info : backEnd->devices())
        if (info.name == wanted && (input ? info.inputChannels : info.outputChannels) > 0) return info.id;
    return savedId;
}

void SessionsManager::restoreStream(const json& saved) {
    const auto streamId = saved.at("streamId").get<unsigned int>();
    const auto savedInput = saved.at("inputDeviceId").get<unsigned int>();
    const auto savedOutput = saved.at("outputDeviceId").get<unsigned int>();
    const unsigned int inputDeviceId = resolveDevice(saved, "inputDeviceId", "inputDeviceName", true);
    const unsigned int outputDeviceId = resolveDevice(saved, "outputDeviceId", "outputDeviceName", false);
    auto inputParameters = streamParameters(saved.at("inputParameters"));
    auto outputParameters = streamParameters(saved.at("outputParameters"));
    // The parameter blocks follow a device that was found again under another id.
    if (inputParameters.deviceId == savedInput) inputParameters.deviceId = inputDeviceId;
    if (outputParameters.deviceId == savedOutput) outputParameters.deviceId = outputDeviceId;
    const auto options = streamOptions(saved.at("options"));
    const bool isStarted = saved.at("isStarted").get<bool>();

    // Two streams with one id would make every lookup by id ambiguous.
    if (core->getStreamById(streamId)) {
        Utilities::error("Stream id " + std::to_string(streamId) + " appears twice in the session, entry skipped",
                         "loadSession", __LINE__);
        return;
    }
    const int created = core->addStream(0, 0, 0, 0, 0, 0);
    auto stream = created < 0 ? nullptr : core->getStreamById(static_cast<unsigned int>(created));
    if (!stream) {
        Utilities::error("Could not create stream " + std::to_string(streamId) + ", entry skipped", "loadSession",
                         __LINE__);
        return;
    }
    stream->setStreamId(streamId);
    stream->setInputDeviceId(inputDeviceId);
    stream->setOutputDeviceId(outputDeviceId);
    stream->setNChannelsInput(saved.at("nChannelsInput").get<unsigned int>());
    stream->setNChannelsOutput(saved.at("nChannelsOutput").get<unsigned int>());
    stream->setSampleRate(saved.at("sampleRate").get<unsigned int>());
    stream->setBufferFrames(saved.at("bufferFrames").get<unsigned int>());
    stream->setInputParameters(inputParameters);
    stream->setOutputParameters(outputParameters);
    stream->setOptions(options);
    restoreStreamEffects(*stream, saved.at("effects"));
    if (isStarted)
        core->startSavedStream(streamId, savedName(saved, "inputDeviceName"), savedName(saved, "outputDeviceName"));
}

void SessionsManager::restoreStreamEffects(Stream& stream, const json& effects) {
    if (effects.is_null()) return;
    for (const auto& effect : effects) {
        const auto name = effect.at("name").get<std::string>();
        // A mandatory effect is already there: this logs "already added" and the existing one is set.
        stream.addEffect(name);
        stream.setEffectEnable(name, effect.at("enable").get<bool>());
        if (name == "EQEffect") {
            restoreFilters(
                effect.at("filters"), firstEqualizer(stream.getEffects()),
                [&](const std::string& type) { return stream.addEQFilter(type); },
                [&](unsigned int id, const std::string& key, float value) {
                    stream.setEQFilterParameter(id, key, value);
                });
            continue;
        }
        const auto& parameters = effect.at("parameters");
        if (parameters.is_null()) continue;
        for (const auto& [key, value] : parameters.items()) {
            std::cout << "Effect name: " + json(name).dump() + " Parameter name: " + Utilities::printable(key) +
                             " Value: " + value.dump() + "\n"
                      << std::flush;
            stream.setEffectParameter(name, key, value.get<float>());
        }
    }
}

void SessionsManager::restoreMasterEffects(const json& effects) {
    if (effects.is_null()) return;
    for (const auto& effect : effects) {
        const auto name = effect.at("name").get<std::string>();
        core->addMasterEffect(name);
        core->setMasterEffectEnable(name, effect.at("enable").get<bool>());
        if (name == "EQEffect") {
            const auto chain = core->getMasterEffects();
            auto equalizer = chain.empty() ? nullptr : std::dynamic_pointer_cast<EQEffect>(chain.back());
            if (!equalizer) {
                Utilities::error("Could not cast EQEffect to EQFilter", "loadSession", __LINE__);
                continue;
            }
            restoreFilters(
                effect.at("filters"), equalizer,
                [&](const std::string& type) { return equalizer->addFilter(type); },
                [&](unsigned int id, const std::string& key, float value) {
                    equalizer->setFilterParameter(id, key, value);
                });
            continue;
        }
        const auto& parameters = effect.at("parameters");
        if (parameters.is_null()) continue;
        for (const auto& [key, value] : parameters.items())
            core->setMasterEffectParameter(name, key, value.get<float>());
    }
}

void SessionsManager::restoreStreamGroups(const json& groups) {
    if (groups.is_null()) return;
    for (const auto& saved : groups) {
        // Groups are rebuilt in their saved order, so they get their saved ids back; the members
        // already carry their restored chains, so nothing is copied between them.
        const unsigned int groupId = core->findAvailableStreamGroupID();
        core->linkStreams({});
        const auto& color = saved.at("color");
        core->setStreamsGroupColor(groupId, {color[0].get<unsigned int>(), color[1].get<unsigned int>(),
                                             color[2].get<unsigned int>()});
        if (saved.at("volumeLevel").get<bool>()) core->setStreamGroupVolumeLevelSync(groupId, true);
        if (saved.at("volumeRatio").get<bool>()) core->setStreamGroupVolumeRatioSync(groupId, true);
        for (const auto& name : saved.at("effects")) core->addEffectToStreamGroupSync(groupId, name.get<std::string>());
        for (const auto& member : saved.at("members"))
            if (auto stream = core->getStreamById(member.get<unsigned int>()))
                stream->setGroupID(static_cast<int>(groupId));
    }
}
