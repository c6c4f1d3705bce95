#include "ReusableEngine.hpp"

namespace testsupport {

ReusableEngine::ReusableEngine(std::string tag) : exportTag(std::move(tag)) { build(); }

void ReusableEngine::build() {
    core = &devices.makeCore();
    core->setExportTag(exportTag);
    inputs = core->getInputDevices();
    outputs = core->getOutputDevices();
}

void ReusableEngine::reset() {
    auto guard = core->lock();
    // Groups first: a group outlives its members' removal.
    core->clearStreamGroups();
    core->clearStreams();
    core->clearMasterEffects();
    if (core->getInputDevices() == inputs && core->getOutputDevices() == outputs) return;
    // Each refresh empties the other direction's list: the constructor's order leaves its lists.
    core->updateInputDevicesList();
    core->updateOutputDevicesList();
    if (core->getInputDevices() == inputs && core->getOutputDevices() == outputs) return;
    // The machine itself changed: only a new engine sees it as a fresh one would.
    guard.unlock();
    devices.core.reset();
    build();
}

} // namespace testsupport
