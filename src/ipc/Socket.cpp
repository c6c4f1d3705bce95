#include "ipc/Socket.hpp"

#include "engine/CommandRunner.hpp"
#include "engine/Core.hpp"
#include "ipc/SocketPath.hpp"
#include "ipc/SocketSecurity.hpp"
#include "ipc/SocketUtils.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace IPC {

namespace {

using Clock = std::chrono::steady_clock;

// The longest poll: a stop request and a slow client's time limits are noticed within it.
constexpr auto kLongestWait = std::chrono::milliseconds(250);
// Connections the kernel holds until the thread accepts them.
constexpr int kListenBacklog = 16;

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

} // namespace

Socket::Socket(Core* core, int requestsPerSecond)
    : _core(core), _requestsPerSecond(requestsPerSecond), _registry(core) {
    Utilities::log("Socket constructor");
    SocketUtils::attachOutbox(&_outbox);
    runCommand(*_core, [this] {
        _core->setSocket(this);
        return CommandResult::done();
    });
}

Socket::~Socket() {
    Utilities::log("Socket destructor");
    if (_listenThread.joinable()) {
        stopListenThread();
        Utilities::log("Waiting for listen thread to finish...");
        _listenThread.join();
    }
    {
        // Device events and console pushes must not reach a socket that is gone.
        runCommand(*_core, [this] {
            if (_core->getSocket() == this) _core->setSocket(nullptr);
            return CommandResult::done();
        });
    }
    SocketUtils::detachOutbox(&_outbox);
}

void Socket::startListenThread() {
    // Set here, not on the thread: a stop requested before the thread runs must stick.
    _running = true;
    _listenThread = std::thread(&Socket::_beginListenThread, this);
}

void Socket::stopListenThread() {
    _running = false;
    _outbox.wake();
}

int Socket::getClientSocket() const { return _outbox.firstDescriptor(); }

std::size_t Socket::clientCount() const { return _outbox.openCount(); }

int Socket::_openListener(const std::string& path) {
    // A cut path would bind somewhere else and unlink that at shutdown.
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        Utilities::log("Failed to bind socket: " + path + " is longer than " +
                       std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes");
        return -1;
    }
    const sockaddr_un address = socketAddress(path);
    // Another user's file or listener at the path is theirs: say whose, and leave it be.
    if (const auto owner = SocketSecurity::foreignOwner(path.c_str())) {
        Utilities::log("Failed to bind socket: " + path + " is held by user " +
                       SocketSecurity::describeUser(*owner));
        return -1;
    }
    // Only a socket may be taken over: anything else at the path is someone's file, kept as it is.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0 && !S_ISSOCK(existing.st_mode)) {
        Utilities::log("Failed to bind socket: " + path + " is not a socket; it is left as it is");
        return -1;
    }
    // A socket left by an earlier run is removed; one that another engine still serves is not.
    if (listenerAnswers(address)) {
        Utilities::log("Failed to bind socket");
        return -1;
    }
    ::unlink(path.c_str());

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        Utilities::log("Failed to create socket");
        return -1;
    }
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
        Utilities::log("Failed to bind socket");
        ::close(listener);
        return -1;
    }
    // Owner-only whatever the umask; a client that slips in before this is still checked at accept.
    if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0)
        Utilities::log("Could not make " + path + " owner-only: " + std::strerror(errno));
    ::listen(listener, kListenBacklog);
    Utilities::log("Unix socket started at: " + path);
    return listener;
}

void Socket::_beginListenThread() {
    const std::string& path = socketPath();
    _serverSocket = _openListener(path);
    if (_serverSocket < 0) return;
    _serve();
    while (!_clients.empty()) _closeClient(_clients.front().get());
    ::close(_serverSocket);
    _serverSocket = -1;
    ::unlink(path.c_str());
}

void Socket::_serve() {
    std::vector<pollfd> waiting;
    while (_running) {
        // The wait ends early enough to close a client whose packet has run out of time.
        auto until = Clock::now() + kLongestWait;
        bool backlog = false;
        waiting.assign({{_serverSocket, POLLIN, 0}, {_outbox.wakeDescriptor(), POLLIN, 0}});
        for (const auto& client : _clients) {
            if (const auto deadline = client->incompleteDeadline()) until = std::min(until, *deadline);
            backlog = backlog || client->hasBacklog();
            const short events = POLLIN | (_outbox.hasPending(client->descriptor()) ? POLLOUT : 0);
            waiting.push_back({client->descriptor(), events, 0});
        }
        // Requests left from a client's last turn are served at once, after a look at the others.
        const auto wait =
            backlog ? 0 : std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        const int ready = ::poll(waiting.data(), waiting.size(), static_cast<int>(std::max<long long>(wait, 0)));
        if (ready < 0 && errno != EINTR) {
            Utilities::log("select() error");
            continue;
        }
        if (waiting[1].revents) _outbox.clearWake();
        // Clients in the order they came; those accepted below wait for the next round.
        std::vector<ClientConnection*> leaving;
        for (std::size_t i = 0; i + 2 < waiting.size(); ++i)
            if (!_serviceClient(*_clients[i], waiting[i + 2].revents)) leaving.push_back(_clients[i].get());
        for (ClientConnection* client : leaving) _closeClient(client);
        if (waiting[0].revents) _acceptClients();
    }
}

void Socket::_acceptClients() {
    for (;;) {
        const int client = ::accept4(_serverSocket, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) Utilities::log("Error accepting client connection");
            return;
        }
        const auto peer = SocketSecurity::peerUser(client);
        if (!peer || *peer != ::geteuid()) {
            Utilities::log("Refused a client of user " +
                           (peer ? SocketSecurity::describeUser(*peer) : std::string("unknown")) +
                           ": only the engine's own user may connect");
            ::close(client);
            continue;
        }
        if (_clients.size() >= kMaxClients) {
            Utilities::log("Refused a client: " + std::to_string(kMaxClients) +
                           " clients are connected already; closing the connection");
            ::close(client);
            continue;
        }
        _outbox.open(client);
        _clients.push_back(std::make_unique<ClientConnection>(client, _requestsPerSecond));
        Utilities::log("Client connected");
    }
}

bool Socket::_serviceClient(ClientConnection& client, short events) {
    const int descriptor = client.descriptor();
    if ((events & (POLLIN | POLLHUP | POLLERR)) || client.hasBacklog()) {
        const bool open =
            client.receive(_echo, [&](const PacketFramer::Frame& frame) { _deserializePacket(descriptor, frame); });
        if (!open) {
            // A client that only closed its sending side still gets what it asked for, as far as
            // the connection takes it without waiting.
            _outbox.flush(descriptor);
            return false;
        }
        if (client.flooding()) {
            Utilities::log("Client sent requests faster than " + std::to_string(_requestsPerSecond) +
                           " a second; closing the connection");
            return false;
        }
    }
    switch (_outbox.flush(descriptor)) {
    case Outbox::State::Idle:
    case Outbox::State::Waiting:
        break;
    case Outbox::State::Failed:
        return false;
    case Outbox::State::Overflow:
        Utilities::log("Client stopped reading: more than " + std::to_string(Outbox::kQueueLimit) +
                       " bytes waited for it; closing the connection");
        return false;
    case Outbox::State::Stalled:
        Utilities::log("Client stopped reading: it took nothing for " +
                       std::to_string(Outbox::kStallLimit.count()) + " s; closing the connection");
        return false;
    }
    const auto deadline = client.incompleteDeadline();
    if (deadline && Clock::now() >= *deadline) {
        Utilities::log("Client left a packet incomplete for " +
                       std::to_string(ClientConnection::kIncompletePacketTimeout.count()) +
                       " s; closing the connection");
        return false;
    }
    return true;
}

void Socket::_closeClient(ClientConnection* client) {
    // Out of the outbox before the descriptor closes, so nothing reaches a number that gets reused.
    _outbox.close(client->descriptor());
    _clients.erase(std::find_if(_clients.begin(), _clients.end(),
                                [client](const auto& held) { return held.get() == client; }));
    Utilities::log("Client socket closed");
}

void Socket::_deserializePacket(int clientSocket, const PacketFramer::Frame& frame) {
    Utilities::log("Socket received packet with size: " + std::to_string(frame.size) +
                   " and id: " + std::to_string(frame.type));

    auto type = static_cast<EPacketType>(frame.type);
    const std::vector<char>* payload = &frame.payload;
    // A Command carries an id and another request; the request runs as if sent bare, then the
    // result goes back under the id.
    const bool wrapped = type == EPacketType::Command;
    std::int32_t commandId = 0, innerType = 0;
    std::vector<char> inner;
    // A command cut short still has its id when four bytes came: the client waits on that id.
    const bool typed = frame.payload.size() >= 8;
    if (wrapped) {
        if (frame.payload.size() >= 4) std::memcpy(&commandId, frame.payload.data(), 4);
        if (typed) {
            std::memcpy(&innerType, frame.payload.data() + 4, 4);
            inner.assign(frame.payload.begin() + 8, frame.payload.end());
        }
        // A type no header could carry names no request (and must not wrap round to one).
        type = typed && innerType >= 0 && innerType <= 0xFFFF ? static_cast<EPacketType>(innerType)
                                                              : EPacketType::Command;
        payload = &inner;
    }
    const CommandResult result = runCommand(*_core, [&] {
        _servingClient = clientSocket;
        _registry.set_client_fd(clientSocket);
        CommandResult handled;
        try {
            handled = !wrapped || type != EPacketType::Command
                          ? _registry.handlePacket(type, *payload)
                          : !typed ? CommandResult::unknown("a command must carry a request type after its id")
                          : innerType == static_cast<std::int32_t>(EPacketType::Command)
                          ? CommandResult::unknown("a command cannot carry another command")
                          : CommandResult::unknown("no request of type " + std::to_string(innerType));
        } catch (const std::exception& failure) {
            // One bad request must not end the process or the connection.
            Utilities::error(std::string("Request failed: ") + failure.what(), "_deserializePacket", __LINE__);
            handled = CommandResult::refused();
        }
        _servingClient = -1;
        return handled;
    });
    if (!wrapped) return;
    std::vector<char> answer;
    SocketUtils::serializeValues(answer, static_cast<int>(commandId), static_cast<int>(result.status), result.reason);
    SocketUtils::sendPacket(clientSocket, EPacketType::CommandResult, answer);
}

} // namespace IPC
