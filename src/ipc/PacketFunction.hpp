#pragma once

#include <string>

class Core;

// Request handlers and the engine's own notifications. Each gets the client descriptor to reply
// to (Outbox::kEveryClient for a notification), the engine and the request's decoded fields; stream
// id -1 names the master chain in the effect requests. Handlers run on the socket's listen thread
// under the engine lock; getEffects, getEffectParameters and sendDeviceDisconnect are also called by
// the Core, under the same lock. What they send is queued, never written here.
namespace IPC::PacketFunction {

// Devices and streams.
void printtest(int& clientSocket, Core* core, int a, int b);
void sendDeviceInputs(int& clientSocket, Core* core);
void sendDeviceOutputs(int& clientSocket, Core* core);
void sendStreams(int& clientSocket, Core* core);
void addStream(int& clientSocket, Core* core, int inputDeviceId, int outputDeviceId, int nInputChannels,
               int nOutputChannels, int sampleRate, int bufferFrames);
void startStream(int& clientSocket, Core* core, int streamId);
void deleteStream(int& clientSocket, Core* core, int streamId);
void sendAvailableSampleRates(int& clientSocket, Core* core, int inputDeviceId, int outputDeviceId);
void sendFaderValue(int& clientSocket, Core* core, int streamId);
void editStream(int& clientSocket, Core* core, int streamId, int inputDeviceId, int outputDeviceId,
                int nChannelsInput, int nChannelsOutput, int sampleRate, int bufferFrames, std::string streamName);
void sendDeviceDisconnect(int& clientSocket, Core* core, int deviceId);

// Effects.
void setEffectParameter(int& clientSocket, Core* core, int streamId, std::string effect, std::string parameter,
                        float value);
void getEffects(int& clientSocket, Core* core, int streamId);
void getNotAddedEffectsOnStream(int& clientSocket, Core* core, int streamId);
void addEffectToStream(int& clientSocket, Core* core, int streamId, std::string effect);
void setEffectEnable(int& clientSocket, Core* core, int streamId, std::string effect, int enable);
void getEffectParameters(int& clientSocket, Core* core, int streamId, std::string effect);
void deleteEffectFromStream(int& clientSocket, Core* core, int streamId, std::string effect);

// Sessions.
void saveSession(int& clientSocket, Core* core, std::string name);
void loadSession(int& clientSocket, Core* core, std::string name);
void newSession(int& clientSocket, Core* core);

// Stream state, routing and groups, for a panel.
void sendStreamStates(int& clientSocket, Core* core);
void stopStream(int& clientSocket, Core* core, int streamId);
void setChannelRedirect(int& clientSocket, Core* core, int streamId, int inputChannel, int outputChannel, int on);
void sendStreamGroups(int& clientSocket, Core* core);

} // namespace IPC::PacketFunction
