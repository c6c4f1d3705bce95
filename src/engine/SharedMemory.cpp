#include "engine/SharedMemory.hpp"

#include "utilities/Log.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

SharedMemory::SharedMemory(std::string name) : name(std::move(name)) {}

SharedMemory& SharedMemory::operator=(const SharedMemory& other) {
    if (this == &other) return *this;
    name = other.name;
    totalSize = other.totalSize;
    header = other.header;
    started = other.started;
    fd = other.fd;
    slotSize = other.slotSize;
    ringSize = other.ringSize;
    writeOffset = other.writeOffset;
    return *this;
}

void SharedMemory::start(unsigned long dataSize, unsigned long margin) {
    if (started) return;
    if (dataSize == 0 || margin == 0) throw std::invalid_argument("Data size and margin must be greater than 0");

    const std::uint64_t ring = static_cast<std::uint64_t>(dataSize) * margin;
    const std::uint64_t total = ring + kHeaderSize;
    const int descriptor = createRegion();
    // A region that cannot be sized (too large for /dev/shm) would fault on the first write, and one
    // that cannot be mapped is of no use: neither leaves a descriptor or a name behind.
    const auto abandon = [this, descriptor](const char* why) {
        const bool ours = namesRegion(descriptor);
        close(descriptor);
        if (ours) shm_unlink(name.c_str());
        throw std::runtime_error(why);
    };
    if (ftruncate(descriptor, static_cast<off_t>(total)) == -1) abandon("Failed to size shared memory");

    void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (mapping == MAP_FAILED || mapping == nullptr) abandon("Failed to map shared memory");

    fd = descriptor;
    totalSize = total;
    header = static_cast<Header*>(mapping);
    slotSize = dataSize;
    ringSize = ring;
    writeOffset = 0;
    header->reserved = 0;
    header->slotSize = slotSize;
    header->ringSize = ringSize;
    header->writeOffset.store(0, std::memory_order_release);
    started = true;
    // One write: the console may be printing from another thread.
    std::cout << "Shared memory " + name + " created with size " + std::to_string(totalSize) + "\n" << std::flush;
}

int SharedMemory::createRegion() const {
    // Owner-only: the export carries microphone audio.
    int descriptor = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (descriptor == -1 && errno == EEXIST) {
        // Every engine holds a lock on the region it created until its descriptor closes, even when
        // the process dies. A region whose lock is free was left by a run that ended: it is replaced,
        // not resized under a reader that may still map it, and the fresh object drops whatever
        // permissions the old one had. A locked one belongs to a live engine and stays untouched.
        const int existing = shm_open(name.c_str(), O_RDONLY, 0);
        if (existing != -1) {
            const bool live = flock(existing, LOCK_SH | LOCK_NB) == -1 && errno == EWOULDBLOCK;
            close(existing);
            if (live) throw std::runtime_error("Shared memory " + name + " is in use by another engine");
        }
        shm_unlink(name.c_str());
        descriptor = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    }
    if (descriptor == -1) throw std::runtime_error("Failed to open shared memory");
    flock(descriptor, LOCK_EX | LOCK_NB);
    return descriptor;
}

bool SharedMemory::namesRegion(int descriptor) const {
    struct stat ours {}, named {};
    if (fstat(descriptor, &ours) == -1) return false;
    const int current = shm_open(name.c_str(), O_RDONLY, 0);
    if (current == -1) return false;
    const bool same = fstat(current, &named) == 0 && named.st_dev == ours.st_dev && named.st_ino == ours.st_ino;
    close(current);
    return same;
}

void SharedMemory::write(const void* src) { write(src, slotSize); }

void SharedMemory::write(const void* src, std::size_t bytes) {
    if (!started) throw std::runtime_error("Shared memory not started");
    auto* slot = reinterpret_cast<unsigned char*>(header) + kHeaderSize + writeOffset;
    const std::size_t copied = bytes < slotSize ? bytes : slotSize;
    std::memcpy(slot, src, copied);
    if (copied < slotSize) std::memset(slot + copied, 0, slotSize - copied);
    writeOffset = (writeOffset + slotSize) % ringSize;
    // Publish the new position after the slot's bytes.
    header->writeOffset.store(writeOffset, std::memory_order_release);
}

void SharedMemory::release() {
    if (!started) return;
    started = false;
    if (munmap(header, totalSize) == -1)
        Utilities::error("Failed to unmap shared memory", "~SharedMemory", __LINE__, errno);
    header = nullptr;
    // Asked before the descriptor closes (which drops the lock): a region of this name that is not
    // the one this object created belongs to someone else now.
    const bool ours = namesRegion(fd);
    const int descriptor = fd;
    fd = -1;
    if (close(descriptor) == -1) {
        Utilities::error("Failed to close shared memory", "~SharedMemory", __LINE__, errno);
        return;
    }
    if (!ours) {
        Utilities::log("Shared memory " + name + " no longer names this engine's region; left in place",
                       "~SharedMemory", __LINE__);
        return;
    }
    if (shm_unlink(name.c_str()) == -1) {
        Utilities::error("Failed to unlink shared memory", "~SharedMemory", __LINE__, errno);
        return;
    }
    std::cout << "Shared memory " + name + " destroyed\n" << std::flush;
}
