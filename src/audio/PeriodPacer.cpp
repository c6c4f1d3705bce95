#include "audio/PeriodPacer.hpp"

#include <algorithm>
#include <cstring>

namespace audio::detail {

PeriodPacer::PeriodPacer(unsigned int periodFrames, unsigned int channels, std::size_t ringFrames)
    : periodFrames_(periodFrames),
      channels_(channels),
      ringFrames_(channels ? ringFrames : 0),
      ring_(ringFrames_ * channels) {}

void PeriodPacer::restart() {
    start_ = fill_ = 0;
    underflow_ = overflow_ = false;
}

void PeriodPacer::pushInput(const float* data, std::size_t frames) {
    if (ringFrames_ == 0) return;
    while (frames > 0) {
        if (fill_ == ringFrames_) {
            // Nobody takes it (the output stalls): the oldest goes, so the delay stays bounded.
            consume(std::min(frames, ringFrames_));
            overflow_ = true;
        }
        const std::size_t end = (start_ + fill_) % ringFrames_;
        const std::size_t take = std::min({frames, ringFrames_ - fill_, ringFrames_ - end});
        float* to = ring_.data() + end * channels_;
        if (data) {
            std::memcpy(to, data, take * channels_ * sizeof(float));
            data += take * channels_;
        } else {
            std::fill(to, to + take * channels_, 0.0f);
        }
        fill_ += take;
        frames -= take;
    }
}

bool PeriodPacer::due(std::size_t needed, bool hasOutput, std::size_t outputRoomFrames) const {
    if (ringFrames_ != 0 && fill_ < needed) return false;
    return !hasOutput || outputRoomFrames >= periodFrames_;
}

void PeriodPacer::takePeriod(float* to) {
    for (std::size_t copied = 0; copied < periodFrames_;) {
        const std::size_t take = std::min<std::size_t>(periodFrames_ - copied, ringFrames_ - start_);
        std::memcpy(to + copied * channels_, ring_.data() + start_ * channels_, take * channels_ * sizeof(float));
        copied += take;
        consume(take);
    }
}

void PeriodPacer::consume(std::size_t frames) {
    frames = std::min(frames, fill_);
    if (frames == 0) return; // also: a stream without input has no ring
    start_ = (start_ + frames) % ringFrames_;
    fill_ -= frames;
}

StreamStatus PeriodPacer::takeStatus() {
    StreamStatus status = 0;
    if (underflow_) status |= kOutputUnderflow;
    if (overflow_) status |= kInputOverflow;
    underflow_ = overflow_ = false;
    return status;
}

} // namespace audio::detail
