#include "ipc/ClientConnection.hpp"

#include "utilities/Log.hpp"

#include <cerrno>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace IPC {

namespace {

constexpr std::size_t kReadSize = 16384;

} // namespace

ClientConnection::~ClientConnection() { ::close(_descriptor); }

bool ClientConnection::receive(ReceivedEcho& echo, const std::function<void(const PacketFramer::Frame&)>& handle) {
    // A packet that starts in this read starts its time-out now; one still arriving keeps its start.
    bool startsHere = _framer.buffered() == 0;
    if (!_framer.hasNext()) {
        char buffer[kReadSize];
        ssize_t received = 0;
        do {
            received = ::recv(_descriptor, buffer, sizeof(buffer), MSG_DONTWAIT);
        } while (received < 0 && errno == EINTR);
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (received <= 0) return false;
        const auto length = static_cast<std::size_t>(received);
        echo.echo(buffer, length);
        _framer.append(buffer, length);
    }
    PacketFramer::Frame frame;
    for (int handled = 0; handled < kPacketsPerTurn;) {
        if (!_framer.hasNext()) break;
        if (!_budget.take()) {
            _overdrawn = true;
            break;
        }
        const auto next = _framer.next(frame);
        if (next == PacketFramer::Next::Incomplete) break;
        // A request's bytes count too: what a request may make the engine write grows with them.
        _budget.charge(static_cast<double>(frame.payload.size() / kBytesPerShare));
        startsHere = true;
        if (next == PacketFramer::Next::Rejected) {
            Utilities::log("Socket dropped a packet with impossible size: " + std::to_string(frame.size) +
                           " and id: " + std::to_string(frame.type) + " (at most " +
                           std::to_string(PacketFramer::kMaxPayloadSize) + " bytes); buffered bytes discarded");
            break;
        }
        handle(frame);
        ++handled;
    }
    if (startsHere) _pendingSince = Clock::now();
    return true;
}

std::optional<ClientConnection::Clock::time_point> ClientConnection::incompleteDeadline() const {
    if (_framer.buffered() == 0 || _framer.hasNext()) return std::nullopt;
    return _pendingSince + kIncompletePacketTimeout;
}

} // namespace IPC
