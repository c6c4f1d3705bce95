#pragma once

#include <cstdint>

// The type field of every packet header. A reply carries the type of what it holds.
enum class EPacketType : std::uint16_t {
    PrintTest = 1,
    DeviceInputs = 2,
    DeviceOutputs = 3,
    StreamList = 4,
    AddStream = 5,
    SetEffectParameter = 6,
    StartStream = 7,
    DeleteStream = 8,
    AvailableSampleRates = 9,
    SaveSession = 10,
    LoadSession = 11,
    FaderValue = 12,
    NewSession = 13,
    EffectList = 14,
    EditStream = 15,
    NotAddedEffects = 16,
    AddEffectToStream = 17,
    SetEffectEnable = 18,
    EffectParameters = 19,
    DeleteEffectFromStream = 20,
    DeviceDisconnect = 21, // sent by the engine only
    // What a control panel shows beyond the stream list: running state, channels, routing, groups.
    StreamStates = 22,
    StopStream = 23,
    SetChannelRedirect = 24,
    StreamGroups = 25,
    // Our own clients' framing of any request above: an id, the request's type and its payload. The
    // request's own replies come first, then a CommandResult with that id: status and reason.
    Command = 64,
    CommandResult = 65, // sent by the engine only
};
