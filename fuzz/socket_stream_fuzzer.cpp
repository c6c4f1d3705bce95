// A client's byte stream, cut into reads of varying size, through framing, decoding and dispatch
// against an engine of virtual devices, as the socket's listen thread does it. No period is run;
// started streams export under names of the fuzz process's own (see FuzzEngine).

#include "FuzzEngine.hpp"

#include "engine/Core.hpp"
#include "ipc/PacketFramer.hpp"
#include "ipc/PacketsRegistry.hpp"

#include <cstdint>
#include <exception>

namespace {

// Streams one input may hold; further requests to add one are dropped. Past a few streams the table
// only repeats itself (ids are the smallest free one, every walk of the table is linear), while
// each stream costs every later request more: an add answers with the whole list and a fader
// value per stream, and a save or load carries them all. Four is one more than the machine's
// distinct rates (three): one device can still carry a stream at each rate it offers with another
// stream besides, two groups of two still fit, and adding, deleting and adding again stays unlimited.
constexpr std::size_t kMaxStreams = 4;
// Saves one input may make; further ones are dropped. A save changes nothing in the engine, only
// writes the file a later load reads, yet at ten bytes a request the fuzzer learned to fill inputs
// with them, and serialising the session took a quarter of a grown corpus's time. Two leave room to
// save, change, save again and load either.
constexpr int kMaxSaves = 2;
// Loads one input may make; further ones are dropped. A load that succeeds replaces the whole set-up
// from one of the (at most two) files the input saved, so what it reaches depends only on that file
// and on what it replaces. A set-up a load built is one the input had built by requests before it
// saved, so loading over it is loading over a built one, which one load covers. The fuzzer learned
// to repeat loads, and each rebuilds every stream: with two allowed, loads were still the largest
// share of a grown corpus's time.
constexpr int kMaxLoads = 1;

// What an input has asked for so far, of the kinds bounded above.
struct Requests {
    int saves{0};
    int loads{0};
};

// Whether the request is one more than an input may make (see above).
bool beyondBound(const IPC::PacketFramer::Frame& frame, const Core& core, Requests& made) {
    switch (static_cast<EPacketType>(frame.type)) {
    case EPacketType::AddStream:
        return core.getStreams().size() >= kMaxStreams;
    case EPacketType::SaveSession:
        return ++made.saves > kMaxSaves;
    case EPacketType::LoadSession:
        return ++made.loads > kMaxLoads;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    auto& machine = fuzzing::machine();
    Core& core = machine.engine();
    // The table is the same for every input (it holds no state of its own); building it took a
    // thirtieth of each input's time.
    static IPC::PacketsRegistry registry(&core);
    Requests made;
    {
        IPC::PacketFramer framer;
        // The first byte sets how the kernel happens to split the stream into reads.
        const std::size_t readSize = data[0] % 64 + 1;
        IPC::PacketFramer::Frame frame;
        for (std::size_t at = 1; at < size; at += readSize) {
            const std::size_t count = size - at < readSize ? size - at : readSize;
            framer.append(reinterpret_cast<const char*>(data + at), count);
            for (;;) {
                const auto next = framer.next(frame);
                if (next != IPC::PacketFramer::Next::Packet) break;
                if (beyondBound(frame, core, made)) continue;
                auto guard = core.lock();
                try {
                    registry.handlePacket(static_cast<EPacketType>(frame.type), frame.payload);
                } catch (const std::exception&) {
                    // The socket reports these and goes on; so does this.
                }
            }
        }
    }
    // Only a save writes to the working folder; listing it after every input took a twentieth of
    // the time (a directory buffer allocated, filled and freed under the sanitizer).
    if (made.saves > 0)
        machine.reset();
    else
        machine.resetEngineOnly();
    return 0;
}
