#include "audio/rtaudio/DeviceWatch.hpp"

namespace audio::detail {

DeviceWatch& deviceWatch() {
    static DeviceWatch* instance = new DeviceWatch;
    return *instance;
}

// Stops the worker when the process exits, with a bounded wait.
namespace {
struct DeviceWatchShutdown {
    ~DeviceWatchShutdown() { deviceWatch().shutdown(); }
} deviceWatchShutdown;
} // namespace

} // namespace audio::detail
