#include "ctl/ReplyFramer.hpp"

#include <cstring>

namespace Ctl {

void ReplyFramer::append(const char* bytes, std::size_t count) {
    // Replies handed out are only skipped over; reclaim that room before growing.
    if (_start > 0 && _start >= _bytes.size() / 2) {
        _bytes.erase(_bytes.begin(), _bytes.begin() + static_cast<std::ptrdiff_t>(_start));
        _start = 0;
    }
    _bytes.insert(_bytes.end(), bytes, bytes + count);
}

ReplyFramer::Next ReplyFramer::next(Frame& frame) {
    constexpr std::size_t kHeaderSize = IPC::PacketFramer::kHeaderSize;
    if (_bytes.size() - _start < kHeaderSize) return Next::Incomplete;
    const char* header = _bytes.data() + _start;
    std::int32_t size = 0;
    std::uint16_t type = 0;
    std::memcpy(&size, header, sizeof(size));
    std::memcpy(&type, header + sizeof(size), sizeof(type));
    frame.size = size;
    frame.type = type;
    frame.payload.clear();
    if (size < 0 || size > kMaxReplySize) return Next::Rejected;
    const auto length = static_cast<std::size_t>(size);
    if (_bytes.size() - _start < kHeaderSize + length) return Next::Incomplete;
    frame.payload.assign(header + kHeaderSize, header + kHeaderSize + length);
    _start += kHeaderSize + length;
    if (_start == _bytes.size()) {
        _bytes.clear();
        _start = 0;
    }
    return Next::Packet;
}

} // namespace Ctl
