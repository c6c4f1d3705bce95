// The engine's notifications, sent to the connected front end as the packets it already knows.

#include "ipc/PacketFunction.hpp"
#include "ipc/Socket.hpp"

namespace IPC {

int Socket::clientDescriptor() const { return getClientSocket(); }

void Socket::effectChainChanged(int streamId) {
    int clientSocket = getClientSocket();
    PacketFunction::getEffects(clientSocket, _core, streamId);
}

void Socket::masterEffectMissing(const std::string& effectName) {
    int clientSocket = getClientSocket();
    PacketFunction::getEffectParameters(clientSocket, _core, -1, effectName);
}

void Socket::deviceLost(int deviceId) {
    int clientSocket = getClientSocket();
    if (clientSocket < 0) return;
    PacketFunction::sendDeviceDisconnect(clientSocket, _core, deviceId);
}

} // namespace IPC
