#pragma once

#include "ipc/PacketFramer.hpp"

#include <chrono>
#include <functional>
#include <optional>

namespace IPC {

// One accepted client: its descriptor (closed with the object), and the bytes it has sent that do
// not yet make a whole packet. Used by the socket thread only.
class ClientConnection {
public:
    using Clock = std::chrono::steady_clock;
    // How long a packet may take to arrive whole, from its first byte, whatever arrives after it: a
    // client that stalls or trickles mid-packet cannot hold its connection open for ever.
    static constexpr std::chrono::seconds kIncompletePacketTimeout{2};

    explicit ClientConnection(int descriptor) : _descriptor(descriptor) {}
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    int descriptor() const { return _descriptor; }

    // Takes one read of what has arrived (the descriptor is non-blocking) and hands every whole
    // packet in it to `handle`, in arrival order. False once the client has gone.
    bool receive(const std::function<void(const PacketFramer::Frame&)>& handle);
    // When the packet that has begun to arrive runs out of time; nothing when none has begun.
    std::optional<Clock::time_point> incompleteDeadline() const;

private:
    int _descriptor;
    PacketFramer _framer;
    Clock::time_point _pendingSince;
};

} // namespace IPC
