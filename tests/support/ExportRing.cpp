#include "ExportRing.hpp"

#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr std::size_t kHeaderBytes = 32;

// One ring's header (reserved, writeOffset, slotSize, ringSize), mapped read-only as a reader maps it,
// and the bytes its write offset has moved since the first read.
class RingHeader {
public:
    explicit RingHeader(unsigned int streamId) {
        const int fd = shm_open(("/Stream" + std::to_string(streamId)).c_str(), O_RDONLY, 0);
        if (fd == -1) return;
        void* mapping = mmap(nullptr, kHeaderBytes, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        if (mapping == MAP_FAILED) return;
        header_ = static_cast<const std::uint64_t*>(mapping);
        if (header_[3] == 0) return; // not sized yet
        last_ = offset();
    }
    ~RingHeader() {
        if (header_) munmap(const_cast<std::uint64_t*>(header_), kHeaderBytes);
    }
    RingHeader(const RingHeader&) = delete;
    RingHeader& operator=(const RingHeader&) = delete;

    void read() {
        if (!header_ || header_[3] == 0) return;
        const std::uint64_t now = offset();
        moved_ += (now + header_[3] - last_) % header_[3];
        last_ = now;
    }
    std::uint64_t periods() const { return header_ && header_[2] ? moved_ / header_[2] : 0; }

private:
    std::uint64_t offset() const { return __atomic_load_n(header_ + 1, __ATOMIC_ACQUIRE); }

    const std::uint64_t* header_{nullptr};
    std::uint64_t last_{0};
    std::uint64_t moved_{0};
};

} // namespace

std::vector<double> ringPace(const std::vector<unsigned int>& streamIds, unsigned int rate, unsigned int periodFrames,
                             std::chrono::milliseconds window) {
    std::vector<std::unique_ptr<RingHeader>> rings;
    for (unsigned int id : streamIds) rings.push_back(std::make_unique<RingHeader>(id));
    const auto start = std::chrono::steady_clock::now();
    auto now = start;
    while (now - start < window) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (auto& ring : rings) ring->read();
        now = std::chrono::steady_clock::now();
    }
    const double expected = std::chrono::duration<double>(now - start).count() * rate / periodFrames;
    std::vector<double> shares;
    for (const auto& ring : rings) shares.push_back(double(ring->periods()) / expected);
    return shares;
}

} // namespace testsupport
