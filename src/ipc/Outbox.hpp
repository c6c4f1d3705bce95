#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <vector>

namespace IPC {

// What the engine has to say to its clients, waiting for the socket thread to write it. Any thread
// may post (replies on the socket thread, pushes from the console or the device-event worker, all
// under the engine lock); only the socket thread writes, with non-blocking sends and never under the
// engine lock, so a client that stops reading costs the others nothing.
class Outbox {
public:
    // Posted to every open connection.
    static constexpr int kEveryClient = -2;
    // Past this many bytes waiting for one client, or once it has taken nothing for kStallLimit while
    // bytes wait, the client is taken to have stopped reading and its connection is closed.
    static constexpr std::size_t kQueueLimit = 1 << 20;
    static constexpr std::chrono::seconds kStallLimit{2};

    enum class State {
        Idle,     // nothing waits
        Waiting,  // bytes wait; the socket would not take them all yet
        Overflow, // more than kQueueLimit bytes were posted while it did not read
        Stalled,  // it has taken nothing for kStallLimit
        Failed,   // the connection is gone (the peer closed or stopped reading)
    };

    Outbox();
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // A descriptor the socket thread polls: readable once something was posted.
    int wakeDescriptor() const { return _wake; }
    // Makes the wake descriptor readable (after a post, or to stop the socket thread).
    void wake();
    // Empties the wake descriptor (socket thread, after poll says it is readable).
    void clearWake();

    void open(int descriptor);
    // After this, bytes posted to the descriptor's number go nowhere, whoever holds it next.
    void close(int descriptor);
    // Appends one whole packet for a connection (or kEveryClient); dropped for one not open.
    void post(int descriptor, const std::vector<char>& packet);
    // Sends what waits for the connection without blocking; says what remains.
    State flush(int descriptor);
    bool hasPending(int descriptor) const;
    // The oldest open connection's descriptor, or -1.
    int firstDescriptor() const;
    // Every open connection, oldest first.
    std::vector<int> openDescriptors() const;
    std::size_t openCount() const;

private:
    struct Queue {
        std::vector<char> bytes;
        std::size_t sent{0}; // bytes of `bytes` already written
        bool overflow{false};
        std::chrono::steady_clock::time_point lastProgress;
    };

    void append(Queue& queue, const std::vector<char>& packet);

    mutable std::mutex _mutex;
    std::map<int, Queue> _queues;
    std::vector<int> _openOrder; // descriptors, oldest connection first
    int _wake{-1};
};

} // namespace IPC
