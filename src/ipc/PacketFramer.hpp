#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace IPC {

// Cuts a connection's byte stream into packets: bytes go in as they arrive, whole packets come out
// in arrival order, and a packet whose bytes have not all come yet is kept for the next read.
class PacketFramer {
public:
    static constexpr std::size_t kHeaderSize = 6;
    // No request comes near this (the longest carry a stream name or two effect names); a header
    // announcing more, or a negative size, cannot start a request.
    static constexpr std::int32_t kMaxPayloadSize = 65536;

    // `maxPayloadSize`: the largest packet taken; a client reading replies takes larger ones.
    explicit PacketFramer(std::int32_t maxPayloadSize = kMaxPayloadSize) : _maxPayloadSize(maxPayloadSize) {}

    struct Frame {
        std::int32_t size{0};
        std::uint16_t type{0};
        std::vector<char> payload;
    };

    enum class Next {
        Incomplete, // nothing whole is buffered
        Packet,     // `frame` holds the next packet
        Rejected,   // `frame` holds a header with an impossible size; everything buffered was dropped
    };

    void append(const char* bytes, std::size_t count);
    Next next(Frame& frame);
    // Drops everything buffered; returns how many bytes that was.
    std::size_t clear();
    // Bytes received but not yet handed out as a packet.
    std::size_t buffered() const { return _bytes.size() - _start; }
    // True when next() would not answer Incomplete.
    bool hasNext() const;

private:
    std::int32_t _maxPayloadSize;
    std::vector<char> _bytes;
    // Where the first byte not yet handed out sits in _bytes.
    std::size_t _start{0};
};

} // namespace IPC
