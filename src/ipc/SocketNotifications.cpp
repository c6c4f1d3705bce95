// The engine's notifications, sent to every connected front end as the packets it already knows.

#include "ipc/PacketFunction.hpp"
#include "ipc/Socket.hpp"

namespace IPC {

int Socket::clientDescriptor() const { return getClientSocket(); }

void Socket::effectChainChanged(int streamId) {
    int everyone = Outbox::kEveryClient;
    PacketFunction::getEffects(everyone, _core, streamId);
}

void Socket::effectRemoved(int streamId) {
    for (int descriptor : _outbox.openDescriptors())
        if (descriptor != _servingClient) PacketFunction::getEffects(descriptor, _core, streamId);
}

void Socket::masterEffectMissing(const std::string& effectName) {
    // An answer to whoever asked; from the console, every client hears it, as any change.
    int asker = _servingClient >= 0 ? _servingClient : Outbox::kEveryClient;
    PacketFunction::getEffectParameters(asker, _core, -1, effectName);
}

void Socket::deviceLost(int deviceId) {
    if (clientCount() == 0) return;
    int everyone = Outbox::kEveryClient;
    PacketFunction::sendDeviceDisconnect(everyone, _core, deviceId);
}

} // namespace IPC
