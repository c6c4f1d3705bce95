#include "VirtualEngine.hpp"

#include "utilities/Log.hpp"

#include <stdexcept>

namespace testsupport {

VirtualEngine::VirtualEngine() {
    Utilities::setLogFilePathForTesting(dir.file("runtime.log"));
    mic = system->addDevice({"Mic", 2, 0, {44100, 48000}, 48000});
    speakers = system->addDevice({"Speakers", 0, 2, {44100, 48000, 96000}, 48000});
    headset = system->addDevice({"Headset", 1, 2, {48000}, 48000});
    studio = system->addDevice({"Studio", 4, 4, {96000}, 96000});
    system->setDefaultInput(mic);
    system->setDefaultOutput(speakers);
}

VirtualEngine::~VirtualEngine() {
    core.reset();
    Utilities::setLogFilePathForTesting(Utilities::kLogFilePath);
}

Core& VirtualEngine::makeCore() {
    core = std::make_unique<Core>(system);
    return *core;
}

audio::VirtualDeviceStream* VirtualEngine::audioOf(const Stream& stream) const {
    for (const auto& opened : system->streams())
        if (opened->userData() == &stream) return opened.get();
    return nullptr;
}

std::vector<float> VirtualEngine::runPeriod(const Stream& stream, const std::vector<float>& input,
                                            unsigned int status) {
    auto* audio = audioOf(stream);
    if (!audio) throw std::logic_error("stream is not open");
    std::vector<float> output;
    if (!audio->runPeriod(input, output, status)) throw std::logic_error("stream is not running");
    return output;
}

} // namespace testsupport
