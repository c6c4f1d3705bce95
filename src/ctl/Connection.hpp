#pragma once

#include "ipc/EPacketType.hpp"
#include "ipc/PacketFramer.hpp"
#include "utilities/RequestBudget.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Ctl {

class Failure;

using Frame = IPC::PacketFramer::Frame;
// Replies are not requests: a stream list of a few hundred streams with long names is far above the
// engine's 64 KiB request bound, so replies are framed under a bound of their own, above anything
// the engine queues for one client (1 MiB).
constexpr std::int32_t kMaxReplySize = 8 << 20;

using Clock = std::chrono::steady_clock;

// One connection to the engine's socket. Every wait has a deadline: an engine that is stopped (or
// busy with a request that takes long) must make the client give up rather than hang.
class Connection {
public:
    // Half what the engine takes from one client before it closes it as a flood, at once and on
    // average; the panel reads every chain afresh when it connects, some six requests per stream.
    static constexpr int kRequestsPerSecond = 1000;
    // The engine counts a request's bytes too, one more share per this many.
    static constexpr std::size_t kBytesPerShare = 1024;
    static constexpr int kRequestBurst = 5000;

    Connection(std::string path, std::chrono::milliseconds replyTimeout);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Throws Failure(kNotRunning) naming the path when nothing listens there, and naming the owner
    // when the listener runs as another user (root excepted).
    void open();
    void send(EPacketType type, const std::vector<char>& payload = {});
    // `type` and its payload inside a Command with the id `id`: the engine answers with its result.
    void sendCommand(int id, EPacketType type, const std::vector<char>& payload);
    // The next whole packet, or nothing once `deadline` passes (or `interrupted` says so).
    // Throws Failure(kNoReply) when the engine ends the connection.
    std::optional<Frame> receive(Clock::time_point deadline, const std::function<bool()>& interrupted = {});
    // The first packet of `type` that `accept` takes, within the reply time-out; others are dropped.
    Frame await(EPacketType type, const std::function<bool(const Frame&)>& accept = {});

    const std::string& path() const { return _path; }
    Clock::time_point replyDeadline() const { return Clock::now() + _replyTimeout; }
    // The failure for a reply that did not come in time.
    Failure noReply() const;

private:
    void checkOwner() const;
    // The failure for a connection the engine ended: a full engine accepts and closes at once.
    Failure closed() const;

    std::string _path;
    std::chrono::milliseconds _replyTimeout;
    int _fd{-1};
    // What it may still send: the engine closes a client that floods it.
    Utilities::RequestBudget _budget{kRequestsPerSecond, kRequestBurst};
    IPC::PacketFramer _framer{kMaxReplySize};
    std::size_t _received{0}; // bytes the engine has sent on this connection
};

} // namespace Ctl
