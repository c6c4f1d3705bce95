#pragma once

// The back end on the sound server's own protocol (PulseAudio's asynchronous API, served by
// PulseAudio or by PipeWire's PulseAudio server). Every stream shares the process's one connection;
// nothing here waits for the server, so a server that dies or stalls never holds the caller.

#include "audio/BackEnd.hpp"

#include <memory>
#include <string>

namespace audio {

class PulseBackEnd final : public BackEnd {
public:
    std::string name() const override { return "pulse"; }
    std::vector<Device> devices() override;
    std::optional<Device> device(DeviceId id) override;
    DeviceId defaultInput() override;
    DeviceId defaultOutput() override;
    void setDevicesChangedListener(std::function<void()> listener) override;
    Opened open(const StreamConfig& config, PeriodCallback callback, void* userData, StreamReports reports) override;

    // Why the connection's thread, which runs every stream's periods, has no real-time scheduling
    // ("" when it has it, or before the server first answered).
    static std::string realtimeRefusal();
};

// Connects to the sound server (once per process; waits up to 2 s for its first answer, and keeps
// trying after that). A back end made while the server is away lists no devices until it answers.
std::shared_ptr<BackEnd> makePulseBackEnd();

} // namespace audio
