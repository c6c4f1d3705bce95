#pragma once

// Test-side access to the private PulseAudio started by scripts/audio-servers.sh: pactl commands,
// null sinks that are unloaded however the test ends, recording a sink's monitor with parec, and
// a small tone analysis to tell a real signal from silence or noise.

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

// The PULSE_SERVER the tests talk to, or empty when none was started.
std::string pulseServer();
// The message to fail with when there is none.
std::string missingPulseServerMessage();

struct CommandResult {
    int status{-1}; // exit status, -1 when it did not exit normally
    std::string output; // standard output and standard error together
};
// Runs a shell command, waiting at most `timeout`; a command still running then is killed.
CommandResult runCommand(const std::string& command,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A module-null-sink loaded for the life of the object (or until unload()).
class NullSink {
public:
    // Fails the current test (and leaves loaded() false) when pactl refuses.
    NullSink(std::string sinkName, std::string description, unsigned int rate = 48000,
             unsigned int channels = 2);
    ~NullSink();
    NullSink(const NullSink&) = delete;
    NullSink& operator=(const NullSink&) = delete;

    bool loaded() const { return module_ >= 0; }
    void unload();
    const std::string& sinkName() const { return sinkName_; }
    const std::string& description() const { return description_; }
    // What PulseAudio names the sink's monitor source.
    std::string monitorDescription() const { return "Monitor of " + description_; }

private:
    std::string sinkName_;
    std::string description_;
    long module_{-1};
};

// Interleaved float samples recorded from `<sinkName>.monitor` for `duration`. Returns what arrived
// (possibly less, when parec stops early or the server does not deliver in time).
std::vector<float> recordMonitor(const std::string& sinkName, unsigned int channels, unsigned int rate,
                                 std::chrono::milliseconds duration);

struct ToneEstimate {
    double frequency{0}; // Hz, from rising zero crossings; 0 when fewer than two were found
    double rms{0};
};
// Analyses one channel of interleaved samples, skipping the first `skipFrames` frames (start-up).
ToneEstimate estimateTone(const std::vector<float>& interleaved, unsigned int channels, unsigned int channel,
                          unsigned int rate, std::size_t skipFrames = 0);

// The same over the parts of a recording where sound arrived: the medians of 50 ms blocks that are
// not silent. A server that stalls for a moment (silence in the monitor) does not drag the level
// down. frequency and rms are 0 when no block carries sound.
ToneEstimate steadyTone(const std::vector<float>& interleaved, unsigned int channels, unsigned int channel,
                        unsigned int rate);

} // namespace testsupport
