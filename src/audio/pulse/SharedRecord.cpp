#include "audio/pulse/SharedRecord.hpp"

#include "audio/pulse/PulseStream.hpp"
#include "audio/pulse/ServerStreams.hpp"

#include <algorithm>

namespace audio::detail {

namespace {

std::vector<std::weak_ptr<SharedRecord>>& openRecords() {
    static std::vector<std::weak_ptr<SharedRecord>> open;
    return open;
}

// The input arrives in fragments of this size. A period runs once the fragment that completes it
// arrives, so up to a fragment of input waits in the ring while the output plays on: with
// period-sized fragments (which the server rounds to 255 frames at 256) that wait wanders over a
// whole period and now and then leaves the output a period short, and it runs dry. A quarter period
// bounds the wait; 64 frames bound the server's wake-ups at small periods.
unsigned int recordFragmentFrames(unsigned int periodFrames) {
    return std::max(std::min(periodFrames, 64u), periodFrames / 4);
}

} // namespace

SharedRecord::SharedRecord(pa_context* context, pa_stream* stream, SharedFormat format)
    : SharedServerStream(context, stream, std::move(format)), frameBytes_(format_.channels * sizeof(float)) {}

std::shared_ptr<SharedRecord> SharedRecord::open(pa_context* context, const SharedFormat& format,
                                                 std::string& whyNot) {
    return findOrOpen(openRecords(), context, format, [&]() -> std::shared_ptr<SharedRecord> {
        pa_stream* stream =
            makeServerStream(context, format.label + " \u2192 vantrell", format.rate, format.channels, format.map);
        if (!stream) {
            whyNot = std::string("cannot make the record stream: ") + pa_strerror(pa_context_errno(context));
            return nullptr;
        }
        auto shared = std::make_shared<SharedRecord>(context, stream, format);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = recordFragmentFrames(format.periodFrames) * shared->frameBytes_;
        attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
        pa_stream_set_read_callback(stream, &SharedRecord::onRead, shared.get());
        pa_stream_set_overflow_callback(stream, &SharedRecord::onOverflow, shared.get());
        if (pa_stream_connect_record(stream, format.deviceName.c_str(), &attributes, kServerStreamFlags) < 0) {
            whyNot = std::string("cannot connect the record stream: ") + pa_strerror(pa_context_errno(context));
            return nullptr;
        }
        return shared;
    });
}

void SharedRecord::onRead(pa_stream* stream, std::size_t, void* self) {
    auto* shared = static_cast<SharedRecord*>(self);
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
        // Data is null for a hole: silence.
        for (PulseStream* member : shared->members_)
            member->takeInput(static_cast<const float*>(data), bytes / shared->frameBytes_);
        pa_stream_drop(stream);
        for (PulseStream* member : shared->members_) member->pump();
    }
}

void SharedRecord::onOverflow(pa_stream*, void* self) {
    for (PulseStream* member : static_cast<SharedRecord*>(self)->members_) member->overflowed();
}

} // namespace audio::detail
