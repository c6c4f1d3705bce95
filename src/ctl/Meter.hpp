#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Levels read from a stream's shared-memory export: a 32-byte header (reserved, write offset, slot
// size, ring size; native 64-bit words) and a ring of periods of interleaved 32-bit floats. The
// export says nothing of its channel count, so the reader is told it.
namespace Ctl {

struct ChannelLevel {
    double peakDb{0};
    double rmsDb{0};
};

// Levels at or below this are shown as silence.
constexpr double kSilenceDb = -120.0;

// 20·log10 of a linear level, kSilenceDb for silence.
double toDecibels(double linear);
// Peak and RMS of each channel over interleaved samples; a trailing partial frame is ignored and
// non-finite samples count as full scale (they are a fault worth seeing).
std::vector<ChannelLevel> measureLevels(const std::vector<float>& interleaved, unsigned channels);

struct RingSnapshot {
    std::vector<float> samples; // every slot, oldest period first
    std::uint64_t writeOffset{0};
    std::size_t periodSamples{0}; // one slot: the newest period is the last this many samples
};

// The export of stream `id` of the engine at the socket path (Utilities::exportName) as it stands:
// nothing when there is none (yet). A header whose sizes do not fit the region throws
// Failure(kRefused).
std::optional<RingSnapshot> readRing(int streamId);
// Whether the engine writes a new period into stream `id`'s export within `within`.
bool ringAdvances(int streamId, std::chrono::milliseconds within);
// Ids of the exports of the engine at the socket path present on this machine, in order.
std::vector<int> exportedStreams();

} // namespace Ctl
