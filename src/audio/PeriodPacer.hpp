#pragma once

// When a stream's periods run, between an input that delivers fragments by its own clock and an
// output that takes whole periods: the input waits in a ring until a period of it is there and the
// output has room for that period. Periods take the input in order, none skipped or repeated; an
// underflow or overflow is reported once, on the next period. No allocation after construction.

#include "audio/BackEnd.hpp"

#include <cstddef>
#include <vector>

namespace audio::detail {

class PeriodPacer {
public:
    PeriodPacer(unsigned int periodFrames, unsigned int channels, std::size_t ringFrames);

    // At a stream's (re)start: an empty ring, no report pending.
    void restart();

    // `frames` frames of input arrived; null data is a hole in it (silence). When the ring is full
    // the oldest frames go and an overflow is reported.
    void pushInput(const float* data, std::size_t frames);

    // A period is due when the input holds `needed` frames (or the stream has none) and the output
    // has room for a period (or the stream has none).
    bool due(std::size_t needed, bool hasOutput, std::size_t outputRoomFrames) const;

    // The next period of input, in order.
    void takePeriod(float* to);

    void underflowed() { underflow_ = true; }
    void overflowed() { overflow_ = true; }
    // The status for the period about to run; clears it.
    StreamStatus takeStatus();

    // The ring itself, for a resampler reading from it.
    const float* ring() const { return ring_.data(); }
    std::size_t ringFrames() const { return ringFrames_; }
    std::size_t start() const { return start_; }
    std::size_t fill() const { return fill_; }
    void consume(std::size_t frames);

private:
    const unsigned int periodFrames_;
    const unsigned int channels_;
    const std::size_t ringFrames_;
    std::vector<float> ring_;
    std::size_t start_{0};
    std::size_t fill_{0};
    bool underflow_{false};
    bool overflow_{false};
};

} // namespace audio::detail
