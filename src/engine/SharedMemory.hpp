#pragma once

// One POSIX shared-memory ring that a stream's output is exported through. Layout (native byte
// order): 8 reserved bytes, writeOffset, slotSize, ringSize (unsigned 64-bit each), then ringSize
// bytes of slots. Readers map the region; the engine only ever writes it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

class SharedMemory {
public:
    static constexpr std::size_t kHeaderSize = 32;

    explicit SharedMemory(std::string name);
    // Unmaps and closes; removes the name only while it still refers to the region this object created.
    ~SharedMemory() { release(); }
    // The same, leaving the object not started (it may then be assigned or started again).
    void release();

    // Only an object that is not started may be assigned: each mapping has exactly one owner.
    SharedMemory& operator=(const SharedMemory& other);
    SharedMemory(const SharedMemory&) = delete;

    // Creates, sizes and maps the region (owner-only access). Idempotent once started. A region of the
    // same name that another live engine created is left alone (runtime_error); one left by a run
    // that ended is replaced. Throws std::invalid_argument for a zero size, std::runtime_error when
    // the system refuses; a failed start leaves no descriptor and no region behind.
    void start(unsigned long dataSize, unsigned long margin);

    // Copies one slot from src and advances the write offset. Throws std::runtime_error when not started.
    void write(const void* src);
    // The same for a period of `bytes` bytes: never reads past src nor writes past the slot; a
    // shorter period leaves the rest of its slot silent. Allocates nothing and makes no system call.
    void write(const void* src, std::size_t bytes);

    bool isStarted() const { return started; }
    const std::string& getName() const { return name; }
    std::uint64_t getSlotSize() const { return slotSize; }

private:
    struct Header {
        std::uint64_t reserved;
        std::atomic<std::uint64_t> writeOffset;
        std::uint64_t slotSize;
        std::uint64_t ringSize;
    };
    static_assert(sizeof(Header) == kHeaderSize);
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

    std::string name;
    std::uint64_t totalSize{0};
    Header* header{nullptr};
    bool started{false};
    int fd{-1};

    // Creates the region exclusively and locks it for as long as the descriptor is open.
    int createRegion() const;
    // Whether the name still refers to the object behind `descriptor`: only then may it be unlinked.
    bool namesRegion(int descriptor) const;

    // The engine's own copy of the ring geometry and position. The mapping is writable by any
    // process that opens it, so the engine never reads these back from the header.
    std::uint64_t slotSize{0};
    std::uint64_t ringSize{0};
    std::uint64_t writeOffset{0};
};
