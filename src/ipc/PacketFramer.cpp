#include "ipc/PacketFramer.hpp"

#include <cstring>

namespace IPC {

void PacketFramer::append(const char* bytes, std::size_t count) {
    // Packets handed out are only skipped over; reclaim that room before growing.
    if (_start > 0 && _start >= _bytes.size() / 2) {
        _bytes.erase(_bytes.begin(), _bytes.begin() + static_cast<std::ptrdiff_t>(_start));
        _start = 0;
    }
    _bytes.insert(_bytes.end(), bytes, bytes + count);
}

bool PacketFramer::hasNext() const {
    if (buffered() < kHeaderSize) return false;
    std::int32_t size = 0;
    std::memcpy(&size, _bytes.data() + _start, sizeof(size));
    return size < 0 || size > _maxPayloadSize || buffered() >= kHeaderSize + static_cast<std::size_t>(size);
}

PacketFramer::Next PacketFramer::next(Frame& frame) {
    if (buffered() < kHeaderSize) return Next::Incomplete;
    const char* header = _bytes.data() + _start;
    std::int32_t size = 0;
    std::uint16_t type = 0;
    std::memcpy(&size, header, sizeof(size));
    std::memcpy(&type, header + sizeof(size), sizeof(type));
    if (size < 0 || size > _maxPayloadSize) {
        frame.size = size;
        frame.type = type;
        frame.payload.clear();
        clear();
        return Next::Rejected;
    }
    const auto length = static_cast<std::size_t>(size);
    if (buffered() < kHeaderSize + length) return Next::Incomplete;
    frame.size = size;
    frame.type = type;
    frame.payload.assign(header + kHeaderSize, header + kHeaderSize + length);
    _start += kHeaderSize + length;
    if (_start == _bytes.size()) clear();
    return Next::Packet;
}

std::size_t PacketFramer::clear() {
    const std::size_t dropped = buffered();
    _bytes.clear();
    _start = 0;
    return dropped;
}

} // namespace IPC
