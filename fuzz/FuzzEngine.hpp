#pragma once

// What both fuzz targets share: a machine of virtual devices and one engine over it, brought back
// to its starting state after every input, so what one input builds (streams, effects, device
// lists) never carries into the next. Rebuilding the engine for each input would be far slower.

#include "VirtualEngine.hpp"

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace fuzzing {

// The working folder while inputs run, emptied after each one: an input never loads what an earlier
// one saved, so every input replays alone, and saved sessions don't pile up for each load to parse.
class ScratchFolder {
public:
    ScratchFolder() {
        char pattern[] = "/dev/shm/vantrell-fuzz.XXXXXX";
        char fallback[] = "/tmp/vantrell-fuzz.XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made) made = mkdtemp(fallback);
        if (!made || ::chdir(made) != 0) throw std::runtime_error("no scratch folder for the fuzz target");
        path = made;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    void empty() {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(path, ignored))
            std::filesystem::remove_all(entry.path(), ignored);
    }

private:
    std::filesystem::path path;
};

class FuzzEngine {
public:
    FuzzEngine() {
        core = &devices.makeCore();
        inputs = core->getInputDevices();
        outputs = core->getOutputDevices();
    }

    Core& engine() { return *core; }

    void reset() {
        scratch.empty();
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
    // Log lines are not under test here, and opening the log file for each one took a sixth of
    // every execution; the messages are still built, only not written.
    Utilities::QuietScope quiet;
    ScratchFolder scratch;
    testsupport::VirtualEngine devices;
    Core* core{nullptr};
    DeviceList inputs, outputs;
};

inline FuzzEngine& machine() {
    static FuzzEngine engine;
    return engine;
}

} // namespace fuzzing
