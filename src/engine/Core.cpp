#include "engine/Core.hpp"

#include "engine/CommandRunner.hpp"

#include "effects/Effect.hpp"
#include "effects/EffectFactory.hpp"
#include "utilities/Log.hpp"

#include <cstdlib>

Core* coreInstance = nullptr;

Core::Core(std::shared_ptr<audio::BackEnd> audioBackEnd) : backEnd(std::move(audioBackEnd)) {
    Utilities::log("Core constructor");

    for (const auto& name : masterEffectsNames) {
        if (addMasterEffect(name) == -1) {
            Utilities::error("Master effect " + name + " could not be added", "Core", __LINE__);
            std::exit(-1);
        }
    }

    // Open the default microphone once, so the system applies its permission decision at start-up.
    const unsigned int defaultInput = backEnd ? backEnd->defaultInput() : audio::kNoDevice;
    if (defaultInput == audio::kNoDevice) {
        Utilities::error("No input device found", "Core", __LINE__);
    } else {
        const auto info = backEnd->device(defaultInput).value_or(audio::Device{});
        const unsigned int firstRate = info.sampleRates.empty() ? 0 : info.sampleRates.front();
        const int probe = addStream(defaultInput, 0, info.inputChannels, 0, firstRate, 256);
        if (probe == -1) {
            Utilities::error("Failed to add stream for input device permission", "Core", __LINE__);
        } else {
            if (auto stream = getStreamById(static_cast<unsigned int>(probe))) stream->disableExport();
            startStream(static_cast<unsigned int>(probe));
            stopStream(static_cast<unsigned int>(probe));
            removeStream(static_cast<unsigned int>(probe));
        }
    }

    if (updateInputDevicesList() == -1) {
        Utilities::error("Failed to update input devices list", "Core", __LINE__);
        std::exit(-1);
    }
    if (updateOutputDevicesList() == -1) {
        Utilities::error("Failed to update output devices list", "Core", __LINE__);
        std::exit(-1);
    }

    // A device event is a command of the engine's own, through the same door as a client's.
    deviceEventWorker->start([this] {
        runCommand(*this, [this] {
            findDisconnectedDevice();
            resumeHaltedStreams();
            return CommandResult::done();
        });
    });
    // New devices, or the server back after a loss: the same pass refreshes both lists.
    if (backEnd)
        backEnd->setDevicesChangedListener([events = std::weak_ptr<DeviceEventWorker>(deviceEventWorker)] {
            if (auto worker = events.lock()) worker->post();
        });
    coreInstance = this;
}

Core::~Core() {
    // No device report may reach a half-destroyed engine.
    if (coreInstance == this) coreInstance = nullptr;
    if (backEnd) backEnd->setDevicesChangedListener(nullptr);
    deviceEventWorker->stop();
    Utilities::log("Core destructor");
    streamGroupSyncs.clear();
    masterEffects.clear();
    inputDevices.clear();
    outputDevices.clear();
    // Each stream stops its audio thread before it goes; the master chain it walked outlives it.
    streams.clear();
}

std::shared_ptr<Stream> Core::findStream(unsigned int id, const char* context) const {
    auto stream = getStreamById(id);
    if (!stream) Utilities::error("Stream not found", context, __LINE__);
    return stream;
}

int Core::doSnapshot() {
    for (const auto& stream : streams) stream->setMustDoSnapshot(true);
    Utilities::log("Snapshot requested", "doSnapshot", __LINE__);
    return 0;
}
