#include "ctl/Connection.hpp"

#include "ctl/Failure.hpp"
#include "ipc/Packet.hpp"
#include "ipc/SocketUtils.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace Ctl {

namespace {

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

std::string userName(uid_t uid) {
    passwd entry{}, *found = nullptr;
    char buffer[1024];
    const std::string number = "uid " + std::to_string(uid);
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || !found) return number;
    return found->pw_name + (" (" + number + ")");
}

} // namespace

Connection::Connection(std::string path, std::chrono::milliseconds replyTimeout)
    : _path(std::move(path)), _replyTimeout(replyTimeout) {}

Connection::~Connection() {
    if (_fd >= 0) ::close(_fd);
}

void Connection::open() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (_path.size() >= sizeof(address.sun_path))
        throw Failure(kNotRunning, "socket path is longer than " + std::to_string(sizeof(address.sun_path) - 1) +
                                       " bytes: " + _path);
    std::memcpy(address.sun_path, _path.c_str(), _path.size());
    _fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (_fd < 0) throw Failure(kNotRunning, std::string("cannot create a socket: ") + std::strerror(errno));
    if (::connect(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
        checkOwner();
        return;
    }
    const int cause = errno;
    if (cause == EAGAIN)
        throw Failure(kNoReply, "the engine at " + _path + " has too many connections waiting; try again");
    throw Failure(kNotRunning, "engine not running: cannot connect to " + _path + " (" + std::strerror(cause) +
                                   "); set VANTRELL_SOCKET if it listens elsewhere");
}

void Connection::checkOwner() const {
    // Whatever listens at the path answers for the engine: a listener of another user could feed
    // us any stream list, or take the session paths we send.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(_fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        throw Failure(kNotRunning, "cannot tell who listens at " + _path + " (" + std::strerror(errno) + ")");
    if (peer.uid == ::geteuid() || peer.uid == 0) return;
    throw Failure(kNotRunning, "the listener at " + _path + " belongs to user " + userName(peer.uid) +
                                   ", not to you: refusing to talk to it");
}

void Connection::sendCommand(int id, EPacketType type, const std::vector<char>& payload) {
    auto wrapped = IPC::Packet<int, int>::serialize(id, static_cast<int>(type));
    wrapped.insert(wrapped.end(), payload.begin(), payload.end());
    send(EPacketType::Command, wrapped);
}

void Connection::send(EPacketType type, const std::vector<char>& payload) {
    // Paced as the engine counts: a share a request and one more per kBytesPerShare it carries.
    const double cost = 1.0 + static_cast<double>(payload.size() / kBytesPerShare);
    while (!_budget.takeShares(cost)) std::this_thread::sleep_until(_budget.nextShare(Clock::now(), cost));
    const std::vector<char> packet = IPC::SocketUtils::framePacket(type, payload);
    const auto deadline = Clock::now() + _replyTimeout;
    std::size_t sent = 0;
    while (sent < packet.size()) {
        const ssize_t n = ::send(_fd, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd writable{_fd, POLLOUT, 0};
            if (::poll(&writable, 1, millisecondsUntil(deadline)) > 0) continue;
            throw Failure(kNoReply, "the engine at " + _path + " did not take a request within " +
                                        std::to_string(_replyTimeout.count()) + " ms");
        }
        if (_received == 0 && (errno == EPIPE || errno == ECONNRESET)) throw closed();
        throw Failure(kNoReply, "lost the connection to " + _path + " (" + std::strerror(errno) + ")");
    }
}

std::optional<Frame> Connection::receive(Clock::time_point deadline, const std::function<bool()>& interrupted) {
    for (;;) {
        Frame frame;
        const auto next = _framer.next(frame);
        if (next == IPC::PacketFramer::Next::Packet) return frame;
        if (next == IPC::PacketFramer::Next::Rejected)
            throw Failure(kNoReply, "the engine sent a packet of impossible size " + std::to_string(frame.size) +
                                        " (a reply may take up to " +
                                        std::to_string(kMaxReplySize >> 20) + " MiB)");
        if (interrupted && interrupted()) return std::nullopt;
        const int wait = interrupted ? std::min(millisecondsUntil(deadline), 100) : millisecondsUntil(deadline);
        pollfd readable{_fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, wait);
        if (ready < 0 && errno != EINTR) throw Failure(kNoReply, std::string("poll: ") + std::strerror(errno));
        if (ready <= 0) {
            if (Clock::now() >= deadline) return std::nullopt;
            continue;
        }
        char buffer[65536];
        const ssize_t n = ::recv(_fd, buffer, sizeof(buffer), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) throw closed();
        _received += static_cast<std::size_t>(n);
        _framer.append(buffer, static_cast<std::size_t>(n));
    }
}

Failure Connection::closed() const {
    // The engine takes a client beyond its maximum only to close it unanswered. An engine that is
    // going away closes too, but then nothing listens any more: a second connection tells them apart.
    if (_received == 0) {
        Connection probe(_path, _replyTimeout);
        try {
            probe.open();
            return Failure(kNoReply, "the engine at " + _path +
                                         " refused the connection: it serves its maximum of clients already; "
                                         "close one (a front end, a panel, a vantrellctl watch) and try again");
        } catch (const Failure&) {
        }
    }
    return Failure(kNoReply, "the engine at " + _path + " closed the connection");
}

Frame Connection::await(EPacketType type, const std::function<bool(const Frame&)>& accept) {
    const auto deadline = replyDeadline();
    while (auto frame = receive(deadline))
        if (frame->type == static_cast<std::uint16_t>(type) && (!accept || accept(*frame))) return *frame;
    throw noReply();
}

Failure Connection::noReply() const {
    return Failure(kNoReply, "no reply from the engine at " + _path + " within " +
                                 std::to_string(_replyTimeout.count()) +
                                 " ms (is it busy with a slow request, or stopped?)");
}

} // namespace Ctl
