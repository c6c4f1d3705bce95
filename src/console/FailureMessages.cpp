// What the console says after a command that ran and failed: what it tried, on what, and the first
// error it met, so a user does not go looking for a typo ("Command not found" is for unknown names).

#include "console/CommandLineController.hpp"

#include <map>

namespace {

// "%1" .. "%3" stand for the command's arguments; an absent one for its default.
const std::map<std::string, std::string>& actions() {
    static const std::map<std::string, std::string> table = {
        {"addChannelRedirect", "add a channel redirect to stream %1"},
        {"addEQFilter", "add a %2 to stream %1"},
        {"addEffect", "add %2 to stream %1"},
        {"addEffectToStreamGroupSync", "share %2 in group %1"},
        {"addMasterEffect", "add master effect %1"},
        {"addStream", "add a stream"},
        {"addStreamToStreamGroupSync", "add stream %2 to group %1"},
        {"getEQFilterInfo", "list the filters of stream %1"},
        {"getStreamInfo", "show stream %1"},
        {"linkStreams", "link streams"},
        {"listStreams", "list the streams"},
        {"loadSession", "load a session"},
        {"printChannelsRedirects", "print the channel redirects of stream %1"},
        {"removeChannelRedirect", "remove channel redirect %2 of stream %1"},
        {"removeEQFilter", "remove filter %2 of stream %1"},
        {"removeEffect", "remove %2 from stream %1"},
        {"removeEffectFromStreamGroupSync", "stop sharing %2 in group %1"},
        {"removeStream", "remove stream %1"},
        {"s", "take snapshots"},
        {"saveSession", "save the session"},
        {"setEQFilterParameter", "set %3 of filter %2 on stream %1"},
        {"setEffectEnable", "switch %2 on stream %1"},
        {"setEffectParameter", "set %2 %3 on stream %1"},
        {"setMasterEffectParameter", "set master %1 %2"},
        {"setStreamGroupVolumeLevelSync", "set the level sync of group %1"},
        {"setStreamGroupVolumeRatioSync", "set the ratio sync of group %1"},
        {"setStreamsGroupColor", "set the colour of group %1"},
        {"startStream", "start stream %1"},
        {"stopStream", "stop stream %1"},
        {"unlinkStreams", "unlink stream %1"},
        {"updateInputDevicesList", "update the input devices"},
        {"updateOutputDevicesList", "update the output devices"},
    };
    return table;
}

} // namespace

bool CommandLineController::commandFailed(int result) const {
    // addStream answers the new stream's id; every other command 0 for success.
    return args[0] == "addStream" ? result < 0 : result != 0;
}

std::string CommandLineController::failureMessage(const std::string& reason) const {
    const auto found = actions().find(args[0]);
    std::string action = found == actions().end() ? args[0] : found->second;
    for (char index = '1'; index <= '3'; ++index) {
        const std::string marker{'%', index};
        const auto at = action.find(marker);
        if (at == std::string::npos) continue;
        const std::size_t argument = static_cast<std::size_t>(index - '0');
        // The stream commands take stream 0 when no id is given.
        action.replace(at, marker.size(), argument < args.size() ? args[argument] : "0");
    }
    return "Failed to " + action + (reason.empty() ? "" : ": " + reason);
}
