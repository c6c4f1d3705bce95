#pragma once

#include "ipc/PacketFramer.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Ctl {

using Frame = IPC::PacketFramer::Frame;

// Cuts the engine's byte stream into replies. Replies are not requests: a stream list of a few
// hundred streams with long names is far above the engine's 64 KiB request bound, so the bound
// here is the reply's own, above anything the engine queues for one client (1 MiB).
class ReplyFramer {
public:
    static constexpr std::int32_t kMaxReplySize = 8 << 20;

    enum class Next {
        Incomplete, // nothing whole is buffered
        Packet,     // `frame` holds the next reply
        Rejected,   // `frame` holds a header with an impossible size
    };

    void append(const char* bytes, std::size_t count);
    Next next(Frame& frame);

private:
    std::vector<char> _bytes;
    std::size_t _start{0}; // first byte not yet handed out
};

} // namespace Ctl
