#include "ipc/PacketsRegistry.hpp"

#include "ipc/PacketFunction.hpp"

#include <iostream>
#include <string>

namespace IPC {

PacketsRegistry::PacketsRegistry(Core* core) : _core(core), _packets(makeTable()) {}

std::map<EPacketType, PacketsRegistry::Entry> PacketsRegistry::makeTable() {
    namespace F = PacketFunction;
    return {
        {EPacketType::PrintTest, entry(&F::printtest)},
        {EPacketType::DeviceInputs, entry(&F::sendDeviceInputs)},
        {EPacketType::DeviceOutputs, entry(&F::sendDeviceOutputs)},
        {EPacketType::StreamList, entry(&F::sendStreams)},
        {EPacketType::AddStream, entry(&F::addStream)},
        {EPacketType::SetEffectParameter, entry(&F::setEffectParameter)},
        {EPacketType::StartStream, entry(&F::startStream)},
        {EPacketType::DeleteStream, entry(&F::deleteStream)},
        {EPacketType::AvailableSampleRates, entry(&F::sendAvailableSampleRates)},
        {EPacketType::FaderValue, entry(&F::sendFaderValue)},
        {EPacketType::EffectList, entry(&F::getEffects)},
        {EPacketType::EditStream, entry(&F::editStream)},
        {EPacketType::NotAddedEffects, entry(&F::getNotAddedEffectsOnStream)},
        {EPacketType::AddEffectToStream, entry(&F::addEffectToStream)},
        {EPacketType::SetEffectEnable, entry(&F::setEffectEnable)},
        {EPacketType::EffectParameters, entry(&F::getEffectParameters)},
        {EPacketType::DeleteEffectFromStream, entry(&F::deleteEffectFromStream)},
        {EPacketType::SaveSession, entry(&F::saveSession)},
        {EPacketType::LoadSession, entry(&F::loadSession)},
        {EPacketType::NewSession, entry(&F::newSession)},
        {EPacketType::StreamStates, entry(&F::sendStreamStates)},
        {EPacketType::StopStream, entry(&F::stopStream)},
        {EPacketType::SetChannelRedirect, entry(&F::setChannelRedirect)},
        {EPacketType::StreamGroups, entry(&F::sendStreamGroups)},
    };
}

CommandResult PacketsRegistry::handlePacket(EPacketType type, const std::vector<char>& payload) {
    const auto handler = _packets.find(type);
    if (handler == _packets.end()) {
        std::cerr << "No handler registered for packet type!\n";
        return CommandResult::unknown("no request of type " + std::to_string(static_cast<int>(type)));
    }
    return handler->second(payload);
}

} // namespace IPC
