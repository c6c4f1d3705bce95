#pragma once

// One engine stream in the PipeWire graph: a capture pw_stream on its input node and a playback
// pw_stream on its output node, on the process's one connection. Periods run on PipeWire's data
// thread, exactly `periodFrames` frames each: capture fills a preallocated ring (PeriodPacer), and
// playback runs as many periods as the graph asks frames for, keeping what is left over for its
// next cycle. In a route with both, the capture triggers the playback right after it in the same
// cycle (one wake-up, and the input plays in the cycle it came in). Failures after start are
// reported off the data and loop threads.

#include "audio/BackEnd.hpp"
#include "audio/PeriodPacer.hpp"
#include "audio/ReportGate.hpp"
#include "audio/pipewire/PipeWireConnection.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pw_stream;

namespace audio::detail {

struct PipeWireStreamFormat {
    std::string inputNode;  // empty: no input
    std::string outputNode; // empty: no output
    bool inputIsMonitor{false};
    std::string inputName, outputName; // the devices' names, for reports
    std::vector<std::string> inputPositions, outputPositions; // one channel name per channel, or empty
    unsigned int inputChannels{0};
    unsigned int outputChannels{0};
    unsigned int rate{0};
    unsigned int periodFrames{0};
    // Periods of input held before the output starts, plus the one being played (2 or more).
    unsigned int periodsAhead{2};
    std::string label; // the engine's name for the stream ("Stream133-129")
    std::string route; // what graph tools show: "Stream133-129: Sine source at 440 Hz → Vantrell_Main"
};

class PipeWireStream final : public DeviceStream, private PipeWireWatcher {
public:
    // Everything a period needs is allocated here, before the first one.
    PipeWireStream(PipeWireStreamFormat format, PeriodCallback callback, void* userData, StreamReports reports);
    ~PipeWireStream() override;
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Neither waits on the daemon: they take the loop's lock only to queue work on it.
    Result start() override;
    Result stop() override;
    bool isRunning() const override { return running_.load() && !finished_.load(); }
    unsigned int periodFrames() const override { return format_.periodFrames; }

    struct Listeners; // the pw_stream event hooks

private:
    // The loop's thread, or under its lock.
    bool connectStreams(pw_core* core, std::string& whyNot);
    void destroyStreams();
    void halt();
    void ended(const std::string& why);
    void reportLost(const std::vector<std::string>& names);
    void nodeGone(const std::string& nodeName) override;
    void daemonGone() override;

    // The data thread.
    void captured();
    void playbackWanted();
    void fillOutput(float* to, std::size_t frames);
    void runPeriod(bool withInput);
    // A route with both halves: its capture triggers its playback in each cycle.
    bool triggered() const { return !format_.inputNode.empty() && !format_.outputNode.empty(); }

    const PipeWireStreamFormat format_;
    const PeriodCallback callback_;
    void* const userData_;
    const std::shared_ptr<ReportGate> reports_;
    const std::size_t inputFrameBytes_;
    const std::size_t outputFrameBytes_;

    // The loop's thread, or under its lock.
    pw_stream* capture_{nullptr};
    pw_stream* playback_{nullptr};
    std::unique_ptr<Listeners> listeners_;
    bool halted_{false};
    bool watching_{false};

    // The data thread only while the streams exist; reset at start before they do.
    std::vector<float> input_;  // one period, handed to the callback
    std::vector<float> output_; // one period, filled by the callback
    PeriodPacer pacer_;
    std::vector<float> pending_; // output made and not yet played: a ring
    std::size_t pendingFrames_{0};
    std::size_t pendingStart_{0};
    std::size_t pendingFill_{0};
    bool primed_{false};
    std::uint64_t framesDone_{0};

    std::atomic<bool> running_{false};
    std::atomic<bool> finished_{false}; // the callback asked to stop
};

} // namespace audio::detail
