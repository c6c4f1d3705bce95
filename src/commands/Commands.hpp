#pragma once

#include "groups/StreamGroupSync.hpp"

#include <string>
#include <variant>
#include <vector>

// One plain type per control operation of the engine, with its arguments. The console and the
// socket's request handlers build one of these and hand it to the dispatcher
// (commands/CommandDispatcher.hpp), so what an operation needs and how it is refused is said once.
// Stream, group and filter ids are the engine's own unsigned ids.
namespace command {

// Devices.
struct UpdateInputDevices {};
struct UpdateOutputDevices {};

// Streams. Zero values in AddStream ask for the defaults.
struct AddStream {
    unsigned int inputDevice{}, outputDevice{}, inputChannels{}, outputChannels{}, sampleRate{}, bufferFrames{};
};
struct EditStream {
    unsigned int streamId{};
    unsigned int inputDevice{}, outputDevice{}, inputChannels{}, outputChannels{}, sampleRate{}, bufferFrames{};
    std::string name;
};
struct StartStream { unsigned int streamId{}; };
struct StopStream { unsigned int streamId{}; };
struct RemoveStream { unsigned int streamId{}; };
// A query: the stream table as it stands, in the payload.
struct ListStreams {};

// A stream's effect chain.
struct AddEffect { unsigned int streamId{}; std::string effect; };
struct RemoveEffect { unsigned int streamId{}; std::string effect; };
struct SetEffectParameter { unsigned int streamId{}; std::string effect, parameter; float value{}; };
struct SetEffectEnable { unsigned int streamId{}; std::string effect; bool enable{}; };

// A stream's equalizer filters.
struct AddEQFilter { unsigned int streamId{}; std::string type; };
struct RemoveEQFilter { unsigned int streamId{}; unsigned int filterId{}; };
struct SetEQFilterParameter { unsigned int streamId{}; unsigned int filterId{}; std::string parameter; float value{}; };
// Prints the filters on standard output.
struct PrintEQFilters { unsigned int streamId{}; };

// The master chain.
struct AddMasterEffect { std::string effect; };
struct RemoveMasterEffect { std::string effect; };
struct SetMasterEffectParameter { std::string effect, parameter; float value{}; };
struct SetMasterEffectEnable { std::string effect; bool enable{}; };

// Channel routing.
struct AddChannelRedirect { unsigned int streamId{}, inputChannel{}, outputChannel{}; };
struct RemoveChannelRedirect { unsigned int streamId{}, index{}; };
// Prints the redirects on standard output.
struct PrintChannelRedirects { unsigned int streamId{}; };

// Stream groups.
struct LinkStreams { std::vector<unsigned int> streamIds; };
struct UnlinkStream { unsigned int streamId{}; };
struct AddStreamToGroup { unsigned int groupId{}, streamId{}; };
struct SetGroupColour { unsigned int groupId{}; GroupColor colour; };
struct SetGroupLevelSync { unsigned int groupId{}; bool on{}; };
struct SetGroupRatioSync { unsigned int groupId{}; bool on{}; };
struct ShareGroupEffect { unsigned int groupId{}; std::string effect; };
struct UnshareGroupEffect { unsigned int groupId{}; std::string effect; };

// Sessions and snapshots.
struct SaveSession { std::string path; };
struct LoadSession { std::string path; };
struct NewSession {};
struct TakeSnapshot {};

} // namespace command

using Command = std::variant<
    command::UpdateInputDevices, command::UpdateOutputDevices, command::AddStream, command::EditStream,
    command::StartStream, command::StopStream, command::RemoveStream, command::ListStreams, command::AddEffect,
    command::RemoveEffect, command::SetEffectParameter, command::SetEffectEnable, command::AddEQFilter,
    command::RemoveEQFilter, command::SetEQFilterParameter, command::PrintEQFilters, command::AddMasterEffect,
    command::RemoveMasterEffect, command::SetMasterEffectParameter, command::SetMasterEffectEnable,
    command::AddChannelRedirect, command::RemoveChannelRedirect, command::PrintChannelRedirects,
    command::LinkStreams, command::UnlinkStream, command::AddStreamToGroup, command::SetGroupColour,
    command::SetGroupLevelSync, command::SetGroupRatioSync, command::ShareGroupEffect, command::UnshareGroupEffect,
    command::SaveSession, command::LoadSession, command::NewSession, command::TakeSnapshot>;
