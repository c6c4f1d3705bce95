// Console commands for stream groups: linking, joining and leaving, colours, volume sync and the
// effect types a group shares.

#include "console/CommandLineController.hpp"
#include "utilities/Log.hpp"

int CommandLineController::linkStreams() {
    if (args.size() < 3) {
        Utilities::error("Invalid number of arguments", args[0], __LINE__);
        return -1;
    }
    std::vector<unsigned int> ids;
    for (std::size_t index = 1; index < args.size(); ++index) {
        auto id = unsignedArgument(index, "Invalid stream id");
        if (!id) return -1;
        ids.push_back(*id);
    }
    return execute(command::LinkStreams{ids});
}

int CommandLineController::unlinkStreams() {
    if (!hasTokenCount(2)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    return id ? execute(command::UnlinkStream{*id}) : -1;
}

int CommandLineController::setStreamsGroupColor() {
    if (!hasTokenCount(5)) return -1;
    auto group = unsignedArgument(1, "Invalid group id");
    if (!group) return -1;
    unsigned int components[3];
    static const char* const messages[] = {"Invalid red value", "Invalid green value", "Invalid blue value"};
    for (std::size_t i = 0; i < 3; ++i) {
        auto value = unsignedArgument(i + 2, messages[i]);
        if (!value) return -1;
        // A component outside a byte would only garble the terminal's colour sequence.
        if (*value > 255) {
            Utilities::error(messages[i], args[0], __LINE__);
            return -1;
        }
        components[i] = *value;
    }
    return execute(command::SetGroupColour{*group, GroupColor{components[0], components[1], components[2]}});
}

int CommandLineController::addStreamToStreamGroupSync() {
    if (!hasTokenCount(3)) return -1;
    auto group = unsignedArgument(1, "Invalid group id");
    if (!group) return -1;
    auto stream = unsignedArgument(2, "Invalid stream id");
    return stream ? execute(command::AddStreamToGroup{*group, *stream}) : -1;
}

int CommandLineController::setStreamGroupVolumeLevelSync() {
    if (!hasTokenCount(3)) return -1;
    auto group = unsignedArgument(1, "Invalid group id");
    if (!group) return -1;
    auto on = boolArgument(2, "Invalid sync level value");
    return on ? execute(command::SetGroupLevelSync{*group, *on}) : -1;
}

int CommandLineController::setStreamGroupVolumeRatioSync() {
    if (!hasTokenCount(3)) return -1;
    auto group = unsignedArgument(1, "Invalid group id");
    if (!group) return -1;
    auto on = boolArgument(2, "Invalid sync ratio value");
    return on ? execute(command::SetGroupRatioSync{*group, *on}) : -1;
}

int CommandLineController::addEffectToStreamGroupSync() {
    if (!hasTokenCount(3)) return -1;
    auto group = unsignedArgument(1, "Invalid group id");
    return group ? execute(command::ShareGroupEffect{*group, args[2]}) : -1;
}

int CommandLineController::removeEffectFromStreamGroupSync() {
    if (!hasTokenCount(3)) return -1;
    auto group = unsignedArgument(1, "Invalid group id");
    return group ? execute(command::UnshareGroupEffect{*group, args[2]}) : -1;
}
