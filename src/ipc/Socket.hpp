#pragma once

#include "engine/FrontEndListener.hpp"
#include "ipc/PacketFramer.hpp"
#include "ipc/PacketsRegistry.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

class Core;

namespace IPC {

// The front end's endpoint: a Unix-domain stream socket at socketPath(), served on a thread of its
// own, one client at a time. What the client sends is cut into packets as it arrives; each whole
// packet is handled under the engine lock, in arrival order.
class Socket : public FrontEndListener {
public:
    explicit Socket(Core* core);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    void startListenThread();
    void stopListenThread();
    // The connected client's descriptor, or -1 when none is connected.
    int getClientSocket() const;

    // FrontEndListener: the engine's notifications, as packets to the connected client.
    int clientDescriptor() const override;
    void effectChainChanged(int streamId) override;
    void masterEffectMissing(const std::string& effectName) override;
    void deviceLost(int deviceId) override;

private:
    void _beginListenThread();
    int _receiveLoop();
    void _deserializePacket(const PacketFramer::Frame& frame);

    Core* _core;
    int _serverSocket{-1};
    std::thread _listenThread;
    // Written by the listen thread under SocketUtils::connectionMutex(); read under it elsewhere.
    int _clientSocket{-1};
    PacketsRegistry _registry;
    std::atomic<bool> _running{false};
    // The served client's bytes not yet handled, and when the packet they begin started to arrive.
    PacketFramer _framer;
    std::chrono::steady_clock::time_point _pendingSince;
};

} // namespace IPC
