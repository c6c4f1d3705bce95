#include "ipc/Outbox.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace IPC {

Outbox::Outbox() : _wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Outbox::~Outbox() {
    if (_wake >= 0) ::close(_wake);
}

void Outbox::wake() {
    const std::uint64_t one = 1;
    while (::write(_wake, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void Outbox::clearWake() {
    std::uint64_t count = 0;
    while (::read(_wake, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
}

void Outbox::open(int descriptor) {
    std::lock_guard<std::mutex> guard(_mutex);
    _queues[descriptor] = Queue{};
    _openOrder.push_back(descriptor);
}

void Outbox::close(int descriptor) {
    std::lock_guard<std::mutex> guard(_mutex);
    _queues.erase(descriptor);
    _openOrder.erase(std::remove(_openOrder.begin(), _openOrder.end(), descriptor), _openOrder.end());
}

void Outbox::append(Queue& queue, const std::vector<char>& packet) {
    if (queue.overflow) return;
    if (queue.bytes.size() - queue.sent + packet.size() > kQueueLimit) {
        // Nothing more goes to it: the socket thread closes the connection.
        queue.overflow = true;
        queue.bytes.clear();
        queue.bytes.shrink_to_fit();
        queue.sent = 0;
        return;
    }
    if (queue.sent == queue.bytes.size()) {
        queue.bytes.clear();
        queue.sent = 0;
        queue.lastProgress = std::chrono::steady_clock::now();
    }
    queue.bytes.insert(queue.bytes.end(), packet.begin(), packet.end());
}

void Outbox::post(int descriptor, const std::vector<char>& packet) {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (descriptor == kEveryClient) {
            for (auto& [open, queue] : _queues) append(queue, packet);
        } else if (const auto found = _queues.find(descriptor); found != _queues.end()) {
            append(found->second, packet);
        } else {
            return;
        }
    }
    wake();
}

Outbox::State Outbox::flush(int descriptor) {
    std::lock_guard<std::mutex> guard(_mutex);
    const auto found = _queues.find(descriptor);
    if (found == _queues.end()) return State::Failed;
    Queue& queue = found->second;
    if (queue.overflow) return State::Overflow;
    while (queue.sent < queue.bytes.size()) {
        const ssize_t n = ::send(descriptor, queue.bytes.data() + queue.sent, queue.bytes.size() - queue.sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            queue.sent += static_cast<std::size_t>(n);
            queue.lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return State::Failed;
    }
    if (queue.sent == queue.bytes.size()) {
        queue.bytes.clear();
        queue.sent = 0;
        // A burst once held must not stay resident for the connection's life.
        if (queue.bytes.capacity() > 65536) queue.bytes.shrink_to_fit();
        return State::Idle;
    }
    // Written bytes are only skipped over; reclaim that room once it is most of the buffer.
    if (queue.sent > queue.bytes.size() / 2) {
        queue.bytes.erase(queue.bytes.begin(), queue.bytes.begin() + static_cast<std::ptrdiff_t>(queue.sent));
        queue.sent = 0;
    }
    return std::chrono::steady_clock::now() - queue.lastProgress >= kStallLimit ? State::Stalled : State::Waiting;
}

bool Outbox::hasPending(int descriptor) const {
    std::lock_guard<std::mutex> guard(_mutex);
    const auto found = _queues.find(descriptor);
    return found != _queues.end() && (found->second.overflow || found->second.sent < found->second.bytes.size());
}

int Outbox::firstDescriptor() const {
    std::lock_guard<std::mutex> guard(_mutex);
    return _openOrder.empty() ? -1 : _openOrder.front();
}

std::vector<int> Outbox::openDescriptors() const {
    std::lock_guard<std::mutex> guard(_mutex);
    return _openOrder;
}

std::size_t Outbox::openCount() const {
    std::lock_guard<std::mutex> guard(_mutex);
    return _queues.size();
}

} // namespace IPC
