#pragma once

// One playback stream per sink and format, carrying the sum of every engine stream that plays
// there: each adds its periods to the mix at its own pace (as much as the server's request and its
// own lead allow), and the frames all of them have added are written. When the server is about to
// run dry while one member lags (its input came late, or stopped), the others' frames go out
// without it and it is told of an underflow, as it would have underflowed on a stream of its own.

#include "audio/OutputMix.hpp"
#include "audio/pulse/SharedServerStream.hpp"

namespace audio::detail {

class SharedPlayback final : public SharedServerStream {
public:
    // Under the connection's lock.
    static std::shared_ptr<SharedPlayback> open(pa_context* context, const SharedFormat& format, std::string& whyNot);
    void join(PulseStream& member);
    void leave(PulseStream& member);

    // On the connection's thread. Frames the member may add now (0 until the server stream is ready).
    std::size_t room(const OutputMix::Member& place) const;
    // One period of the member's output.
    void add(OutputMix::Member& place, const float* samples);
    // A member that halted holds nobody back.
    void pause(OutputMix::Member& place) { mix_.pause(place); }
    std::size_t bufferFrames() const { return std::size_t(format_.periodFrames) * format_.periodsAhead; }
    // Frames the member has added that the device has not played; false while the server has not
    // said how far it played.
    bool backlog(const OutputMix::Member& place, double& frames) const;

    SharedPlayback(pa_context* context, pa_stream* stream, SharedFormat format);

private:
    void writeComplete();

    static void onWrite(pa_stream* stream, std::size_t bytes, void* self);
    static void onStarted(pa_stream* stream, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onOverflow(pa_stream* stream, void* self);

    OutputMix mix_;
    const std::size_t frameBytes_;
    bool started_{false}; // the server has played from it
    bool refilling_{false}; // it ran dry: played again as soon as it holds a period
};

} // namespace audio::detail
