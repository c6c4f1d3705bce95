#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The panel's HTTP server with a front of its own. cpp-httplib hands every accepted connection to a
// worker of its pool at once, and a worker then reads header lines for as long as they come (each
// read may take its read time-out, the number of lines is not bounded) and a chunked body of any
// size: a local process without the token could hold every worker, or grow the panel by hundreds of
// megabytes. Here one thread reads every connection's header first, within a size and a time bound,
// without holding a worker; only a whole header reaches a worker, which answers it (a request
// without the token at once), reading at most `bodyBytes` of body and framing after it.
namespace Ctl::Web {

class GuardedServer : public httplib::Server {
public:
    struct Limits {
        std::size_t headerBytes = 16 * 1024;         // request line and header lines together
        std::chrono::milliseconds headerTime{4000};  // from the connection's accept to its header's end
        std::size_t bodyBytes = 64 * 1024;           // the body as sent (chunk framing included)
        std::chrono::milliseconds readTime{3000};    // each read or write of a request being answered
        std::size_t waiting = 64;                    // connections whose header is still arriving
        int workers = 12;                            // requests answered at once
    };

    explicit GuardedServer(Limits limits);
    ~GuardedServer() override;

    const Limits& limits() const { return _limits; }
    // Stops listening, closes the connections whose header is still arriving, and waits for the
    // workers to finish the requests they answer.
    void shutdown();

private:
    struct Arrival {
        int fd;
        std::chrono::steady_clock::time_point deadline;
        std::string bytes; // the header as received, and whatever followed it in the same reads
    };

    // Called by the server's own queue on its listening thread, for each accepted connection.
    bool process_and_close_socket(int fd) override;
    void gate();
    // Reads what has arrived; false once the arrival is answered or closed (and may be forgotten).
    bool receive(Arrival& arrival);
    void work();
    void answer(Arrival arrival);

    Limits _limits;
    int _wake{-1};
    std::atomic<bool> _stopping{false};
    std::thread _gate;
    std::vector<std::thread> _workers;

    std::mutex _mutex; // guards what follows
    std::condition_variable _readyChanged;
    std::vector<Arrival> _arriving; // new connections, for the gate thread
    std::deque<Arrival> _ready;     // whole headers, for the workers
};

} // namespace Ctl::Web
