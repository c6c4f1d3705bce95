#pragma once

// The PipeWire graph's own back end (libpipewire): devices are the graph's audio nodes, each engine
// stream a capture and a playback stream of its own in the graph. Every instance shares the one
// connection; nothing here waits on the daemon while the caller could hold a lock for long.

#include "audio/BackEnd.hpp"

#include <chrono>
#include <memory>

namespace audio {

class PipeWireBackEnd final : public BackEnd {
public:
    std::string name() const override { return "pipewire"; }
    std::vector<Device> devices() override;
    std::optional<Device> device(DeviceId id) override;
    void setDevicesChangedListener(std::function<void()> listener) override;
    Opened open(const StreamConfig& config, PeriodCallback callback, void* userData, StreamReports reports) override;
};

// Connects to the daemon (once per process; waits up to 2 s for its first answer, and keeps
// trying when it does not) and makes the back end on that connection.
std::shared_ptr<BackEnd> makePipeWireBackEnd();

// Whether a native PipeWire daemon answers on its socket within `timeout`. Returns at once when
// nobody listens there.
bool pipeWireAnswers(std::chrono::milliseconds timeout);

} // namespace audio
