#include "ipc/Socket.hpp"

#include "engine/Core.hpp"
#include "ipc/SocketUtils.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace IPC {

namespace {

constexpr std::size_t kReceiveBufferSize = 2048;
constexpr std::size_t kHeaderSize = 6;
constexpr int kAcceptWaitMs = 250;
// A client that stops reading must not hold the engine lock for ever.
constexpr timeval kSendTimeout{2, 0};

sockaddr_un socketAddress() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, Socket::kSocketPath, sizeof(address.sun_path) - 1);
    return address;
}

// True when an engine is listening at the address: its file must not be taken from it.
bool listenerAnswers(const sockaddr_un& address) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    const int result = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    // A full backlog still means someone listens.
    const bool answers = result == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(probe);
    return answers;
}

} // namespace

Socket::Socket(Core* core) : _core(core), _registry(core) {
    Utilities::log("Socket constructor");
    auto guard = _core->lock();
    _core->setSocket(this);
}

Socket::~Socket() {
    Utilities::log("Socket destructor");
    if (_listenThread.joinable()) {
        stopListenThread();
        {
            // A served client keeps the listener in its read: end the connection so it returns.
            std::lock_guard<std::mutex> guard(SocketUtils::connectionMutex());
            if (_clientSocket >= 0) ::shutdown(_clientSocket, SHUT_RDWR);
        }
        Utilities::log("Waiting for listen thread to finish...");
        _listenThread.join();
    }
    {
        // Device events and console pushes must not reach a socket that is gone.
        auto guard = _core->lock();
        if (_core->getSocket() == this) _core->setSocket(nullptr);
    }
    std::lock_guard<std::mutex> guard(SocketUtils::connectionMutex());
    if (clientSocketInstance == &_clientSocket) clientSocketInstance = nullptr;
}

void Socket::startListenThread() {
    // Set here, not on the thread: a stop requested before the thread runs must stick.
    _running = true;
    _listenThread = std::thread(&Socket::_beginListenThread, this);
}

void Socket::stopListenThread() { _running = false; }

int Socket::getClientSocket() const {
    std::lock_guard<std::mutex> guard(SocketUtils::connectionMutex());
    return _clientSocket;
}

void Socket::_beginListenThread() {
    const sockaddr_un address = socketAddress();
    // A file left by an earlier run is removed; one that another engine still serves is not.
    if (listenerAnswers(address)) {
        Utilities::log("Failed to bind socket");
        return;
    }
    ::unlink(kSocketPath);

    _serverSocket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_serverSocket < 0) {
        Utilities::log("Failed to create socket");
        return;
    }
    if (::bind(_serverSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
        Utilities::log("Failed to bind socket");
        ::close(_serverSocket);
        _serverSocket = -1;
        return;
    }
    ::listen(_serverSocket, 1);
    Utilities::log(std::string("Unix socket started at: ") + kSocketPath);

    while (_running) {
        pollfd waiting{_serverSocket, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, kAcceptWaitMs);
        if (ready < 0) {
            Utilities::log("select() error");
            continue;
        }
        if (ready == 0) continue;
        const int client = ::accept4(_serverSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            Utilities::log("Error accepting client connection");
            continue;
        }
        ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof(kSendTimeout));
        bool stopping = false;
        {
            std::lock_guard<std::mutex> guard(SocketUtils::connectionMutex());
            _clientSocket = client;
            if (!clientSocketInstance) clientSocketInstance = &_clientSocket;
            *clientSocketInstance = client;
            // The destructor may have looked for a client just before this one was stored.
            stopping = !_running;
        }
        Utilities::log("Client connected");
        _registry.set_client_fd(client);
        if (!stopping)
            while (_receiveLoop() == 1) {
            }
        _registry.set_client_fd(-1);
        {
            // Cleared before the close, so no writer can reach a descriptor number that gets reused.
            std::lock_guard<std::mutex> guard(SocketUtils::connectionMutex());
            _clientSocket = -1;
            ::close(client);
        }
        Utilities::log("Client socket closed");
    }
    ::close(_serverSocket);
    _serverSocket = -1;
    ::unlink(kSocketPath);
}

int Socket::_receiveLoop() {
    char buffer[kReceiveBufferSize] = {};
    ssize_t received = 0;
    do {
        received = ::recv(_clientSocket, buffer, sizeof(buffer), 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) return 0;
    const auto length = static_cast<std::size_t>(received);
    std::cout << std::string(buffer, ::strnlen(buffer, length)) + "\n";
    _deserializePacket(buffer, length);
    return 1;
}

void Socket::_deserializePacket(char* buffer, std::size_t received) {
    // The buffer is zero-filled, so a short read still yields a header (of zeros past the read).
    std::int32_t size = 0;
    std::uint16_t type = 0;
    std::memcpy(&size, buffer, sizeof(size));
    std::memcpy(&type, buffer + sizeof(size), sizeof(type));
    // Only what arrived is payload: a size that is negative or runs past the read is cut back to it,
    // and the fields it would have held read as absent.
    const std::size_t arrived = received > kHeaderSize ? received - kHeaderSize : 0;
    const std::size_t taken = size >= 0 ? std::min(static_cast<std::size_t>(size), arrived) : arrived;
    std::vector<char> payload(buffer + kHeaderSize, buffer + kHeaderSize + taken);
    Utilities::log("Socket received packet with size: " + std::to_string(size) + " and id: " + std::to_string(type));

    auto guard = _core->lock();
    try {
        _registry.handlePacket(static_cast<EPacketType>(type), payload);
    } catch (const std::exception& failure) {
        // One bad request must not end the process or the connection.
        Utilities::error(std::string("Request failed: ") + failure.what(), "_deserializePacket", __LINE__);
    }
}

} // namespace IPC
