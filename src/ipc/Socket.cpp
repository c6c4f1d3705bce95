#include "ipc/Socket.hpp"

#include "engine/Core.hpp"
#include "ipc/SocketPath.hpp"
#include "ipc/SocketSecurity.hpp"
#include "ipc/SocketUtils.hpp"
#include "utilities/Log.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace IPC {

namespace {

constexpr std::size_t kReadSize = 16384;
constexpr int kAcceptWaitMs = 250;
// Pending connections: a second front end waits for its turn instead of being refused.
constexpr int kListenBacklog = 16;
// How long a packet may take to arrive whole, from its first byte, before the connection is
// dropped: a client that stalls mid-packet cannot keep the next one waiting.
constexpr auto kIncompletePacketTimeout = std::chrono::seconds(2);
// A client that stops reading must not hold the engine lock for ever.
constexpr timeval kSendTimeout{2, 0};

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
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

// The received bytes as text for the console, up to the first zero byte: anything outside printable
// ASCII (and the backslash, so the text stays unambiguous) is written as \xHH, so a client cannot
// drive the operator's terminal.
std::string escapedEcho(const char* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count);
    for (std::size_t i = 0; i < count && bytes[i] != '\0'; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            text += "\\x";
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0xf];
        }
    }
    return text;
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
    const std::string& path = socketPath();
    // A cut path would bind somewhere else and unlink that at shutdown.
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        Utilities::log("Failed to bind socket: " + path + " is longer than " +
                       std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes");
        return;
    }
    const sockaddr_un address = socketAddress(path);
    // Another user's file or listener at the path is theirs: say whose, and leave it be.
    if (const auto owner = SocketSecurity::foreignOwner(path.c_str())) {
        Utilities::log("Failed to bind socket: " + path + " is held by user " +
                       SocketSecurity::describeUser(*owner));
        return;
    }
    // A file left by an earlier run is removed; one that another engine still serves is not.
    if (listenerAnswers(address)) {
        Utilities::log("Failed to bind socket");
        return;
    }
    ::unlink(path.c_str());

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
    // Owner-only whatever the umask; a client that slips in before this is still checked at accept.
    if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0)
        Utilities::log("Could not make " + path + " owner-only: " + std::strerror(errno));
    ::listen(_serverSocket, kListenBacklog);
    Utilities::log("Unix socket started at: " + path);

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
        const auto peer = SocketSecurity::peerUser(client);
        if (!peer || *peer != ::geteuid()) {
            Utilities::log("Refused a client of user " +
                           (peer ? SocketSecurity::describeUser(*peer) : std::string("unknown")) +
                           ": only the engine's own user may connect");
            ::close(client);
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
        _framer.clear();
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
    ::unlink(path.c_str());
}

int Socket::_receiveLoop() {
    // Waits in slices, so a stop or a packet that stalls half-way is noticed while the client is quiet.
    for (;;) {
        if (!_running) return 0;
        pollfd readable{_clientSocket, POLLIN, 0};
        const int ready = ::poll(&readable, 1, kAcceptWaitMs);
        if (ready > 0) break;
        if (ready < 0 && errno != EINTR) return 0;
        if (ready == 0 && _framer.buffered() > 0 &&
            std::chrono::steady_clock::now() - _pendingSince >= kIncompletePacketTimeout) {
            Utilities::log("Client left a packet incomplete for " +
                           std::to_string(std::chrono::seconds(kIncompletePacketTimeout).count()) +
                           " s; closing the connection");
            return 0;
        }
    }
    char buffer[kReadSize];
    ssize_t received = 0;
    do {
        received = ::recv(_clientSocket, buffer, sizeof(buffer), 0);
    } while (received < 0 && errno == EINTR);
    if (received <= 0) return 0;
    const auto length = static_cast<std::size_t>(received);
    std::cout << escapedEcho(buffer, length) + "\n";
    // A packet that starts in this read starts its time-out now; one still arriving keeps its start,
    // so trickling a byte at a time does not hold the connection either.
    bool startsHere = _framer.buffered() == 0;
    _framer.append(buffer, length);
    PacketFramer::Frame frame;
    for (;;) {
        const auto next = _framer.next(frame);
        if (next == PacketFramer::Next::Incomplete) break;
        startsHere = true;
        if (next == PacketFramer::Next::Rejected) {
            Utilities::log("Socket dropped a packet with impossible size: " + std::to_string(frame.size) +
                           " and id: " + std::to_string(frame.type) + " (at most " +
                           std::to_string(PacketFramer::kMaxPayloadSize) + " bytes); buffered bytes discarded");
            break;
        }
        _deserializePacket(frame);
    }
    if (startsHere) _pendingSince = std::chrono::steady_clock::now();
    return 1;
}

void Socket::_deserializePacket(const PacketFramer::Frame& frame) {
    Utilities::log("Socket received packet with size: " + std::to_string(frame.size) +
                   " and id: " + std::to_string(frame.type));

    auto guard = _core->lock();
    try {
        _registry.handlePacket(static_cast<EPacketType>(frame.type), frame.payload);
    } catch (const std::exception& failure) {
        // One bad request must not end the process or the connection.
        Utilities::error(std::string("Request failed: ") + failure.what(), "_deserializePacket", __LINE__);
    }
}

} // namespace IPC
