#pragma once

#include "engine/CommandResult.hpp"

#include <string>

class Core;

// Request handlers and the engine's own notifications. Each gets the client descriptor to reply
// to (Outbox::kEveryClient for a notification), the engine and the request's decoded fields; stream
// id -1 names the master chain in the effect requests. Each returns how the request ended: a client
// that wrapped it in a Command is told so, after the request's own replies, which go out either way.
// Handlers run on the socket's listen thread under the engine lock, so they run their operations
// through dispatchUnderLock, never dispatch; getEffects, getEffectParameters and sendDeviceDisconnect
// are also called by the Core, under the same lock. What they send is queued, never written here.
namespace IPC::PacketFunction {

// Devices and streams.
CommandResult printtest(int& clientSocket, Core* core, int a, int b);
CommandResult sendDeviceInputs(int& clientSocket, Core* core);
CommandResult sendDeviceOutputs(int& clientSocket, Core* core);
CommandResult sendStreams(int& clientSocket, Core* core);
CommandResult addStream(int& clientSocket, Core* core, int inputDeviceId, int outputDeviceId, int nInputChannels,
               int nOutputChannels, int sampleRate, int bufferFrames);
CommandResult startStream(int& clientSocket, Core* core, int streamId);
CommandResult deleteStream(int& clientSocket, Core* core, int streamId);
CommandResult sendAvailableSampleRates(int& clientSocket, Core* core, int inputDeviceId, int outputDeviceId);
CommandResult sendFaderValue(int& clientSocket, Core* core, int streamId);
CommandResult editStream(int& clientSocket, Core* core, int streamId, int inputDeviceId, int outputDeviceId,
                int nChannelsInput, int nChannelsOutput, int sampleRate, int bufferFrames, std::string streamName);
void sendDeviceDisconnect(int& clientSocket, Core* core, int deviceId);

// Effects.
CommandResult setEffectParameter(int& clientSocket, Core* core, int streamId, std::string effect, std::string parameter,
                        float value);
CommandResult getEffects(int& clientSocket, Core* core, int streamId);
CommandResult getNotAddedEffectsOnStream(int& clientSocket, Core* core, int streamId);
CommandResult addEffectToStream(int& clientSocket, Core* core, int streamId, std::string effect);
CommandResult setEffectEnable(int& clientSocket, Core* core, int streamId, std::string effect, int enable);
CommandResult getEffectParameters(int& clientSocket, Core* core, int streamId, std::string effect);
CommandResult deleteEffectFromStream(int& clientSocket, Core* core, int streamId, std::string effect);

// Sessions.
CommandResult saveSession(int& clientSocket, Core* core, std::string name);
CommandResult loadSession(int& clientSocket, Core* core, std::string name);
CommandResult newSession(int& clientSocket, Core* core);

// Stream state, routing and groups, for a panel.
CommandResult sendStreamStates(int& clientSocket, Core* core);
CommandResult stopStream(int& clientSocket, Core* core, int streamId);
CommandResult setChannelRedirect(int& clientSocket, Core* core, int streamId, int inputChannel, int outputChannel, int on);
CommandResult sendStreamGroups(int& clientSocket, Core* core);

} // namespace IPC::PacketFunction
