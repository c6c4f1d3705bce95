#pragma once

// What both fuzz targets share: a machine of virtual devices and one engine over it, brought back
// to its starting state after every input, so what one input builds (streams, effects, device
// lists) never carries into the next. Rebuilding the engine for each input would be far slower.

#include "VirtualEngine.hpp"

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

namespace fuzzing {

class FuzzEngine {
public:
    FuzzEngine() {
        // The log file is not under test here; every line would only cost a write.
        Utilities::setLogFilePathForTesting("/dev/null");
        core = &devices.makeCore();
        inputs = core->getInputDevices();
        outputs = core->getOutputDevices();
    }

    Core& engine() { return *core; }

    void reset() {
        auto guard = core->lock();
        core->clearStreams();
        core->clearMasterEffects();
        if (core->getInputDevices() != inputs || core->getOutputDevices() != outputs) {
            guard.unlock();
            devices.core.reset();
            core = &devices.makeCore();
        }
    }

private:
    testsupport::VirtualEngine devices;
    Core* core{nullptr};
    DeviceList inputs, outputs;
};

inline FuzzEngine& machine() {
    static FuzzEngine engine;
    return engine;
}

} // namespace fuzzing
