#include "ipc/ClientConnection.hpp"

#include "utilities/Log.hpp"

#include <cerrno>
#include <iostream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace IPC {

namespace {

constexpr std::size_t kReadSize = 16384;

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

ClientConnection::~ClientConnection() { ::close(_descriptor); }

bool ClientConnection::receive(const std::function<void(const PacketFramer::Frame&)>& handle) {
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
        std::cout << escapedEcho(buffer, length) + "\n";
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
