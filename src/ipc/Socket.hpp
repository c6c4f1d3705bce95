#pragma once

#include "engine/FrontEndListener.hpp"
#include "ipc/ClientConnection.hpp"
#include "ipc/Outbox.hpp"
#include "ipc/PacketsRegistry.hpp"

#include <atomic>
#include <cstddef>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class Core;

namespace IPC {

// The front ends' endpoint: a Unix-domain stream socket at socketPath(), served on a thread of its
// own for several clients at once. What each client sends is cut into packets as it arrives; each
// whole packet is handled under the engine lock, in arrival order per client. Replies go to the
// client that asked, the engine's news to every client; both wait in the outbox and are written by
// this thread alone, never under the engine lock.
class Socket : public FrontEndListener {
public:
    // Connections served at once; one more is accepted, told nothing and closed, with one line.
    static constexpr std::size_t kMaxClients = 64;

    // `requestsPerSecond`: what one client may send before it is taken for a flood and closed.
    explicit Socket(Core* core, int requestsPerSecond = ClientConnection::kRequestsPerSecond);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    void startListenThread();
    void stopListenThread();
    // The oldest connected client's descriptor, or -1 when none is connected.
    int getClientSocket() const;
    std::size_t clientCount() const;

    // FrontEndListener: the engine's notifications, as packets to every connected client.
    int clientDescriptor() const override;
    void effectChainChanged(int streamId) override;
    void effectRemoved(int streamId) override;
    void masterEffectMissing(const std::string& effectName) override;
    void deviceLost(int deviceId) override;

private:
    using Connections = std::vector<std::unique_ptr<ClientConnection>>;

    void _beginListenThread();
    // Binds and listens at `path`; the listening descriptor, or -1 (said why).
    int _openListener(const std::string& path);
    void _serve();
    void _acceptClients();
    // Reads, handles and writes for one connection; false when it has to be closed.
    bool _serviceClient(ClientConnection& client, short events);
    void _deserializePacket(int clientSocket, const PacketFramer::Frame& frame);
    void _closeClient(ClientConnection* client);

    Core* _core;
    int _requestsPerSecond;
    int _serverSocket{-1};
    std::thread _listenThread;
    PacketsRegistry _registry;
    std::atomic<bool> _running{false};
    Outbox _outbox;
    ReceivedEcho _echo{std::cout};
    Connections _clients; // the listen thread's alone
    // The client whose request is being handled (-1 between requests); read and written under the
    // engine lock, so a reply made by the engine itself reaches the one who asked.
    int _servingClient{-1};
};

} // namespace IPC
