#include "commands/CommandDispatcher.hpp"

#include "engine/CommandRunner.hpp"
#include "engine/Core.hpp"
#include "sessions/SessionsManager.hpp"
#include "utilities/Log.hpp"

namespace {

using namespace command;

// One overload per command: the engine's own operation, its 0-or-not convention as it returns it.
struct Operations {
    Core& core;
    CommandPayload& payload;

    int operator()(const UpdateInputDevices&) const { return core.updateInputDevicesList(); }
    int operator()(const UpdateOutputDevices&) const { return core.updateOutputDevicesList(); }

    int operator()(const AddStream& c) const {
        const int id = core.addStream(c.inputDevice, c.outputDevice, c.inputChannels, c.outputChannels, c.sampleRate,
                                      c.bufferFrames);
        payload.newStreamId = id;
        return id >= 0 ? 0 : -1;
    }
    int operator()(const EditStream& c) const {
        auto stream = core.getStreamById(c.streamId);
        if (!stream) {
            Utilities::error("Stream not found", "editStream", __LINE__);
            return -1;
        }
        return stream->editStream(c.inputDevice, c.outputDevice, c.inputChannels, c.outputChannels, c.sampleRate,
                                  c.bufferFrames, c.name);
    }
    int operator()(const StartStream& c) const { return core.startStream(c.streamId); }
    int operator()(const StopStream& c) const { return core.stopStream(c.streamId); }
    int operator()(const RemoveStream& c) const { return core.removeStream(c.streamId); }
    int operator()(const ListStreams&) const {
        for (const auto& stream : core.getStreams())
            payload.streams.push_back({stream->getStreamId(), stream->getInputDeviceName(),
                                       stream->getOutputDeviceName(), stream->getInputParameters().deviceId,
                                       stream->getOutputParameters().deviceId, stream->getSampleRate(),
                                       stream->getBufferFrames(), stream->getNChannelsInput(),
                                       stream->getNChannelsOutput()});
        return 0;
    }

    int operator()(const AddEffect& c) const { return core.addEffectToStream(c.streamId, c.effect); }
    int operator()(const RemoveEffect& c) const { return core.removeEffectFromStream(c.streamId, c.effect); }
    int operator()(const SetEffectParameter& c) const {
        return core.setEffectParameter(c.streamId, c.effect, c.parameter, c.value);
    }
    int operator()(const SetEffectEnable& c) const { return core.setEffectEnable(c.streamId, c.effect, c.enable); }

    int operator()(const AddEQFilter& c) const { return core.addEQFilterToStream(c.streamId, c.type); }
    int operator()(const RemoveEQFilter& c) const { return core.removeEQFilterFromStream(c.streamId, c.filterId); }
    int operator()(const SetEQFilterParameter& c) const {
        return core.setEQFilterParameter(c.streamId, c.filterId, c.parameter, c.value);
    }
    int operator()(const PrintEQFilters& c) const { return core.getEQFilterInfo(c.streamId); }

    int operator()(const AddMasterEffect& c) const { return core.addMasterEffect(c.effect); }
    int operator()(const RemoveMasterEffect& c) const { return core.deleteMasterEffect(c.effect); }
    int operator()(const SetMasterEffectParameter& c) const {
        return core.setMasterEffectParameter(c.effect, c.parameter, c.value);
    }
    int operator()(const SetMasterEffectEnable& c) const { return core.setMasterEffectEnable(c.effect, c.enable); }

    int operator()(const AddChannelRedirect& c) const {
        return core.addChannelRedirect(c.streamId, c.inputChannel, c.outputChannel);
    }
    int operator()(const RemoveChannelRedirect& c) const { return core.removeChannelRedirect(c.streamId, c.index); }
    int operator()(const PrintChannelRedirects& c) const { return core.printChannelsRedirects(c.streamId); }

    int operator()(const LinkStreams& c) const { return core.linkStreams(c.streamIds); }
    int operator()(const UnlinkStream& c) const { return core.unlinkStream(c.streamId); }
    int operator()(const AddStreamToGroup& c) const { return core.addStreamToStreamGroupSync(c.streamId, c.groupId); }
    int operator()(const SetGroupColour& c) const { return core.setStreamsGroupColor(c.groupId, c.colour); }
    int operator()(const SetGroupLevelSync& c) const { return core.setStreamGroupVolumeLevelSync(c.groupId, c.on); }
    int operator()(const SetGroupRatioSync& c) const { return core.setStreamGroupVolumeRatioSync(c.groupId, c.on); }
    int operator()(const ShareGroupEffect& c) const { return core.addEffectToStreamGroupSync(c.groupId, c.effect); }
    int operator()(const UnshareGroupEffect& c) const {
        return core.removeEffectFromStreamGroupSync(c.groupId, c.effect);
    }

    int operator()(const SaveSession& c) const { return SessionsManager(&core).saveSession(c.path); }
    int operator()(const LoadSession& c) const { return SessionsManager(&core).loadSession(c.path); }
    int operator()(const NewSession&) const {
        SessionsManager(&core).clearCurrentSession();
        return 0;
    }
    int operator()(const TakeSnapshot&) const { return core.doSnapshot(); }
};

} // namespace

CommandResult dispatchUnderLock(Core& core, const Command& command, CommandPayload* payload) {
    CommandPayload unused;
    // The reason is the command's own first error, not one its caller logged before.
    Utilities::FirstErrorScope firstError;
    const int code = std::visit(Operations{core, payload ? *payload : unused}, command);
    return code == 0 ? CommandResult::done() : CommandResult::refused(firstError.message());
}

CommandResult dispatch(Core& core, const Command& command, CommandPayload* payload) {
    return runCommand(core, [&] { return dispatchUnderLock(core, command, payload); });
}
