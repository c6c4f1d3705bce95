#pragma once

// One record stream per source and format, feeding every engine stream that reads the source: each
// fragment goes into every member's input, then every member runs the periods it now can.

#include "audio/pulse/SharedServerStream.hpp"

namespace audio::detail {

class SharedRecord final : public SharedServerStream {
public:
    // Under the connection's lock.
    static std::shared_ptr<SharedRecord> open(pa_context* context, const SharedFormat& format, std::string& whyNot);
    void join(PulseStream& member) { addMember(member); }
    void leave(PulseStream& member) { removeMember(member); }

    SharedRecord(pa_context* context, pa_stream* stream, SharedFormat format);

private:
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onOverflow(pa_stream* stream, void* self);

    const std::size_t frameBytes_;
};

} // namespace audio::detail
