#pragma once

#include "ctl/Meter.hpp"

#include <optional>
#include <string>
#include <vector>

namespace Ctl {

struct StreamLevels {
    int id{0};
    bool exported{false}; // the stream's export exists
    bool flowing{false};  // a new period arrived within the last few seconds
    std::vector<ChannelLevel> channels;
};

// Scale of the bars: this many dB below full scale is an empty bar.
constexpr double kMeterRangeDb = 60.0;

// One bar of `width` cells: RMS filled with '#', the peak marked with '|'.
std::string levelBar(const ChannelLevel& level, int width);
// "-6.0", or "-inf" for silence.
std::string decibelText(double db);
// The whole screen, one line per stream and channel.
std::string renderMeter(const std::vector<StreamLevels>& streams, bool streamGiven);

// The live meter until q, Ctrl-C or a termination signal; the terminal is restored whatever ends
// it. Without a stream id, every stream that exports audio is shown as it comes and goes.
int runLiveMeter(std::optional<int> streamId, unsigned channels);

} // namespace Ctl
