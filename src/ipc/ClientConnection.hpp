#pragma once

#include "ipc/PacketFramer.hpp"
#include "ipc/ReceivedEcho.hpp"
#include "utilities/RequestBudget.hpp"

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
    // Requests handled per turn: a client that sends thousands at once takes turns with the others
    // instead of holding them up for a whole read's worth (some 600 requests, tens of milliseconds).
    static constexpr int kPacketsPerTurn = 8;
    // Requests a client may send: on average per second, and at once (a front end sends a few per
    // action, a panel reads every chain of a few hundred streams when it connects). Past them the
    // client is flooding (each request costs log lines and the engine lock) and its connection is
    // closed, as one that stops reading is.
    static constexpr int kRequestsPerSecond = 2000;
    static constexpr int kBurstSeconds = 5;
    // A request costs one share and one more for each of these bytes it carries.
    static constexpr std::size_t kBytesPerShare = 1024;

    explicit ClientConnection(int descriptor, int requestsPerSecond = kRequestsPerSecond)
        : _descriptor(descriptor),
          _budget(requestsPerSecond, static_cast<double>(requestsPerSecond) * kBurstSeconds) {}
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    int descriptor() const { return _descriptor; }

    // Hands up to kPacketsPerTurn whole packets to `handle`, in arrival order: those left from an
    // earlier turn first; only when none is left does it take one read of what has arrived (the
    // descriptor is non-blocking). False once the client has gone.
    // What it reads goes to `echo`.
    bool receive(ReceivedEcho& echo, const std::function<void(const PacketFramer::Frame&)>& handle);
    // Whole packets wait for the next turn: serve it again without waiting for more bytes.
    bool hasBacklog() const { return _framer.hasNext(); }
    // When the packet that has begun to arrive runs out of time; nothing when none has begun.
    std::optional<Clock::time_point> incompleteDeadline() const;
    // It has sent more than its budget allows, and whole requests wait beyond it.
    bool flooding() const { return _overdrawn; }

private:
    int _descriptor;
    Utilities::RequestBudget _budget;
    bool _overdrawn{false};
    PacketFramer _framer;
    Clock::time_point _pendingSince;
};

} // namespace IPC
