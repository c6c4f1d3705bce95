#pragma once

// The back end over the installed RtAudio 5.2 (JACK, ALSA, or its own PulseAudio path). The library
// numbers devices by a position that shifts whenever the server's list changes, throws instead of
// returning codes, reports through one global hook without user data and has no notion of a device
// going away; this back end turns all of that into the audio layer's interface. Each stream owns a
// library object of its own (the library serves one stream per object).

#include "audio/BackEnd.hpp"

#include <memory>

namespace audio {

class RtAudioBackEnd final : public BackEnd {
public:
    RtAudioBackEnd();

    std::string name() const override { return "rtaudio"; }
    std::vector<Device> devices() override;
    void setDevicesChangedListener(std::function<void()> listener) override;
    Opened open(const StreamConfig& config, PeriodCallback callback, void* userData, StreamReports reports) override;
};

// The back end on the library's API chosen for the process (the first that has devices).
std::shared_ptr<BackEnd> makeRtAudioBackEnd();

} // namespace audio
