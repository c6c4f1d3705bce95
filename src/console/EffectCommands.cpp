// Console commands for effect chains, equalizer filters, the master chain and snapshots. They
// follow the console's rules: exact token counts, refused tokens logged with the command as context.

#include "console/CommandLineController.hpp"

int CommandLineController::setEffectParameter() {
    if (!hasTokenCount(5)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    auto value = floatArgument(4, "Invalid parameter value");
    return value ? execute(command::SetEffectParameter{*id, args[2], args[3], *value}) : -1;
}

int CommandLineController::addEffect() {
    if (!hasTokenCount(3)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    return id ? execute(command::AddEffect{*id, args[2]}) : -1;
}

int CommandLineController::removeEffect() {
    if (!hasTokenCount(3)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    return id ? execute(command::RemoveEffect{*id, args[2]}) : -1;
}

int CommandLineController::setEffectEnable() {
    if (!hasTokenCount(4)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    auto enable = boolArgument(3, "Invalid enable value");
    return enable ? execute(command::SetEffectEnable{*id, args[2], *enable}) : -1;
}

int CommandLineController::setEQFilterParameter() {
    if (!hasTokenCount(5)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    auto filter = unsignedArgument(2, "Invalid filter id");
    if (!filter) return -1;
    auto value = floatArgument(4, "Invalid parameter value");
    return value ? execute(command::SetEQFilterParameter{*id, *filter, args[3], *value}) : -1;
}

int CommandLineController::addEQFilter() {
    if (!hasTokenCount(3)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    return id ? execute(command::AddEQFilter{*id, args[2]}) : -1;
}

int CommandLineController::removeEQFilter() {
    if (!hasTokenCount(3)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    if (!id) return -1;
    auto filter = unsignedArgument(2, "Invalid filter id");
    return filter ? execute(command::RemoveEQFilter{*id, *filter}) : -1;
}

int CommandLineController::getEQFilterInfo() {
    if (!hasTokenCount(2)) return -1;
    auto id = unsignedArgument(1, "Invalid stream id");
    return id ? execute(command::PrintEQFilters{*id}) : -1;
}

int CommandLineController::setMasterEffectParameter() {
    if (!hasTokenCount(4)) return -1;
    auto value = floatArgument(3, "Invalid parameter value");
    return value ? execute(command::SetMasterEffectParameter{args[1], args[2], *value}) : -1;
}

int CommandLineController::addMasterEffect() {
    if (!hasTokenCount(2)) return -1;
    return execute(command::AddMasterEffect{args[1]});
}

int CommandLineController::snapshot() { return execute(command::TakeSnapshot{}); }
