#pragma once

#include "VirtualEngine.hpp"

#include "engine/Core.hpp"

#include <string>

namespace testsupport {

// One engine on the virtual machine (see VirtualEngine), kept for many runs and brought back
// between them to the state a freshly built one starts in: building an engine costs threads and a
// probe stream, far more than most runs. The fuzz targets run every input on one.
class ReusableEngine {
public:
    // Started streams export under names carrying `exportTag`, never the machine-wide ones.
    explicit ReusableEngine(std::string exportTag);

    Core& engine() { return *core; }

    // Takes the engine lock. Whatever a run built goes (streams, groups, master effects beyond the
    // default chain); device lists a run refreshed are listed again as the constructor lists them.
    void reset();

private:
    void build();

    VirtualEngine devices;
    std::string exportTag;
    Core* core{nullptr};
    DeviceList inputs, outputs;
};

} // namespace testsupport
