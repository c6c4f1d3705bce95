#include "engine/SharedMemory.hpp"

#include "utilities/Log.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <stdexcept>
#include <sys/mman.h>
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
    // A region of that name left by an earlier run is replaced, not reused: resizing one that another
    // process still maps would make that process fault on its next access, and a fresh object also
    // drops whatever permissions the old one had. Owner-only: the export carries microphone audio.
    shm_unlink(name.c_str());
    const int descriptor = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (descriptor == -1) throw std::runtime_error("Failed to open shared memory");
    // A region the system cannot size (too large for /dev/shm) would fault on the first write.
    if (ftruncate(descriptor, static_cast<off_t>(total)) == -1) {
        close(descriptor);
        shm_unlink(name.c_str());
        throw std::runtime_error("Failed to size shared memory");
    }

    void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (mapping == MAP_FAILED || mapping == nullptr) {
        fd = descriptor;
        throw std::runtime_error("Failed to map shared memory");
    }

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
    // One write: this runs on an audio thread while the console may be printing.
    std::cout << "Shared memory " + name + " created with size " + std::to_string(totalSize) + "\n" << std::flush;
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

SharedMemory::~SharedMemory() {
    if (!started) return;
    if (munmap(header, totalSize) == -1)
        Utilities::error("Failed to unmap shared memory", "~SharedMemory", __LINE__, errno);
    if (close(fd) == -1) {
        Utilities::error("Failed to close shared memory", "~SharedMemory", __LINE__, errno);
        return;
    }
    if (shm_unlink(name.c_str()) == -1) {
        Utilities::error("Failed to unlink shared memory", "~SharedMemory", __LINE__, errno);
        return;
    }
    std::cout << "Shared memory " + name + " destroyed\n" << std::flush;
}
