#include "ctl/web/GuardedServer.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Ctl::Web {

namespace {

using Clock = std::chrono::steady_clock;

// The server's queue, run where the server enqueues: handing a connection to the gate is quick.
class HandOver : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

void refuse(int fd, const char* status) {
    const std::string reply = std::string("HTTP/1.1 ") + status + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

int millisecondsUntil(Clock::time_point when) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 250));
}

bool waitFor(int fd, short events, std::chrono::milliseconds limit) {
    pollfd ready{fd, events, 0};
    int result = 0;
    do {
        result = ::poll(&ready, 1, static_cast<int>(limit.count()));
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

// The refusal a header's declared body length earns at once, or null when the body may be read. A
// length that is no count or exceeds the bound would otherwise hold a worker for its read time.
const char* bodyLengthRefusal(const std::string& header, std::size_t bodyBytes) {
    static constexpr std::string_view kName = "\r\ncontent-length:";
    for (std::size_t at = 0; at + kName.size() <= header.size(); ++at) {
        if (!std::equal(kName.begin(), kName.end(), header.begin() + static_cast<std::ptrdiff_t>(at),
                        [](char want, char got) { return want == std::tolower(static_cast<unsigned char>(got)); }))
            continue;
        std::size_t pos = at + kName.size();
        while (pos < header.size() && (header[pos] == ' ' || header[pos] == '\t')) ++pos;
        const std::size_t digits = pos;
        std::size_t length = 0;
        bool tooLong = false;
        for (; pos < header.size() && std::isdigit(static_cast<unsigned char>(header[pos])); ++pos) {
            tooLong = tooLong || length > bodyBytes;
            if (!tooLong) length = length * 10 + static_cast<std::size_t>(header[pos] - '0');
        }
        while (pos < header.size() && (header[pos] == ' ' || header[pos] == '\t')) ++pos;
        if (pos == digits || header.compare(pos, 2, "\r\n") != 0) return "400 Bad Request";
        if (tooLong || length > bodyBytes) return "413 Payload Too Large";
        at = pos;
    }
    return nullptr;
}

std::string addressText(const sockaddr_storage& address, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    return text;
}

// A connection whose header the gate has read: those bytes first, then the socket, within a budget
// of body bytes and a time limit on each read and write.
class GatedStream : public httplib::Stream {
public:
    GatedStream(int fd, std::string received, std::size_t budget, std::chrono::milliseconds limit)
        : _fd(fd), _buffer(std::move(received)), _budget(budget), _limit(limit) {}

    bool is_readable() const override { return _offset < _buffer.size() || waitFor(_fd, POLLIN, _limit); }
    bool is_writable() const override { return waitFor(_fd, POLLOUT, _limit); }

    ssize_t read(char* out, size_t size) override {
        if (_offset == _buffer.size()) {
            if (_budget == 0 || !waitFor(_fd, POLLIN, _limit)) return -1;
            char chunk[4096];
            const ssize_t n = ::recv(_fd, chunk, std::min(sizeof chunk, _budget), 0);
            if (n <= 0) return -1;
            _budget -= static_cast<std::size_t>(n);
            _buffer.assign(chunk, static_cast<std::size_t>(n));
            _offset = 0;
        }
        const std::size_t count = std::min(size, _buffer.size() - _offset);
        std::copy_n(_buffer.data() + _offset, count, out);
        _offset += count;
        return static_cast<ssize_t>(count);
    }

    ssize_t write(const char* data, size_t size) override {
        if (!is_writable()) return -1;
        return ::send(_fd, data, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) ip = addressText(address, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) ip = addressText(address, port);
    }
    socket_t socket() const override { return _fd; }

private:
    int _fd;
    std::string _buffer;
    std::size_t _offset{0};
    std::size_t _budget;
    std::chrono::milliseconds _limit;
};

} // namespace

GuardedServer::GuardedServer(Limits limits) : _limits(limits), _wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    new_task_queue = [] { return new HandOver; };
    set_payload_max_length(_limits.bodyBytes);
    _gate = std::thread([this] { gate(); });
    for (int i = 0; i < _limits.workers; ++i) _workers.emplace_back([this] { work(); });
}

GuardedServer::~GuardedServer() {
    shutdown();
    ::close(_wake);
}

void GuardedServer::shutdown() {
    {
        // Under the lock: a worker between its look at the flag and its wait would miss the wake-up.
        std::lock_guard<std::mutex> guard(_mutex);
        if (_stopping.exchange(true)) return;
    }
    stop();
    const std::uint64_t one = 1;
    (void)::write(_wake, &one, sizeof one);
    _readyChanged.notify_all();
    if (_gate.joinable()) _gate.join();
    for (auto& worker : _workers) worker.join();
    std::lock_guard<std::mutex> guard(_mutex);
    for (auto& arrival : _arriving) ::close(arrival.fd);
    for (auto& arrival : _ready) ::close(arrival.fd);
    _arriving.clear();
    _ready.clear();
}

bool GuardedServer::process_and_close_socket(int fd) {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_stopping) {
            ::close(fd);
            return true;
        }
        _arriving.push_back({fd, Clock::now() + _limits.headerTime, {}});
    }
    const std::uint64_t one = 1;
    (void)::write(_wake, &one, sizeof one);
    return true;
}

void GuardedServer::gate() {
    std::deque<Arrival> waiting; // oldest first
    std::vector<pollfd> polled;
    while (!_stopping) {
        polled.assign({{_wake, POLLIN, 0}});
        auto until = Clock::now() + std::chrono::milliseconds(250);
        for (const auto& arrival : waiting) {
            polled.push_back({arrival.fd, POLLIN, 0});
            until = std::min(until, arrival.deadline);
        }
        if (::poll(polled.data(), polled.size(), millisecondsUntil(until)) < 0 && errno != EINTR) continue;
        std::vector<Arrival> fresh;
        {
            std::lock_guard<std::mutex> guard(_mutex);
            fresh.swap(_arriving);
        }
        std::uint64_t count = 0;
        if (polled[0].revents) (void)::read(_wake, &count, sizeof count);
        const auto now = Clock::now();
        std::deque<Arrival> still;
        for (std::size_t i = 0; i < waiting.size(); ++i) {
            Arrival& arrival = waiting[i];
            if (polled[i + 1].revents && !receive(arrival)) continue;
            if (now >= arrival.deadline) {
                refuse(arrival.fd, "408 Request Timeout");
                continue;
            }
            still.push_back(std::move(arrival));
        }
        for (auto& arrival : fresh) still.push_back(std::move(arrival));
        // Past the bound, the connection that has had longest goes first.
        while (still.size() > _limits.waiting) {
            refuse(still.front().fd, "503 Service Unavailable");
            still.pop_front();
        }
        waiting.swap(still);
    }
    for (auto& arrival : waiting) ::close(arrival.fd);
}

bool GuardedServer::receive(Arrival& arrival) {
    char chunk[4096];
    const ssize_t n = ::recv(arrival.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (n <= 0) {
        ::close(arrival.fd);
        return false;
    }
    const std::size_t searchFrom = arrival.bytes.size() >= 3 ? arrival.bytes.size() - 3 : 0;
    arrival.bytes.append(chunk, static_cast<std::size_t>(n));
    const auto end = arrival.bytes.find("\r\n\r\n", searchFrom);
    const std::size_t headerSize = end == std::string::npos ? arrival.bytes.size() : end + 4;
    if (headerSize > _limits.headerBytes) {
        refuse(arrival.fd, "431 Request Header Fields Too Large");
        return false;
    }
    if (end == std::string::npos) return true;
    if (const char* refusal = bodyLengthRefusal(arrival.bytes.substr(0, headerSize), _limits.bodyBytes)) {
        refuse(arrival.fd, refusal);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_ready.size() >= _limits.waiting) {
            refuse(arrival.fd, "503 Service Unavailable");
            return false;
        }
        _ready.push_back(std::move(arrival));
    }
    _readyChanged.notify_one();
    return false;
}

void GuardedServer::work() {
    for (;;) {
        Arrival arrival;
        {
            std::unique_lock<std::mutex> guard(_mutex);
            _readyChanged.wait(guard, [&] { return _stopping || !_ready.empty(); });
            if (_stopping) return;
            arrival = std::move(_ready.front());
            _ready.pop_front();
        }
        answer(std::move(arrival));
    }
}

void GuardedServer::answer(Arrival arrival) {
    // Chunk framing is counted with the body: some room beyond the body's own bound.
    GatedStream stream(arrival.fd, std::move(arrival.bytes), _limits.bodyBytes + 16 * 1024, _limits.readTime);
    bool closed = false;
    process_request(stream, true, closed, {});
    ::shutdown(arrival.fd, SHUT_RDWR);
    ::close(arrival.fd);
}

} // namespace Ctl::Web
