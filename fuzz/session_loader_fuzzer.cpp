// Arbitrary bytes as a session file, loaded into an engine on virtual devices. Whatever a load
// builds must save to a file that loads again; anything else (a crash, a sanitizer report, an
// abort below) is a finding.

#include "engine/Core.hpp"
#include "VirtualAudio.hpp"
#include "sessions/SessionValidator.hpp"
#include "sessions/SessionsManager.hpp"
#include "utilities/Log.hpp"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

struct Machine {
    Machine() {
        Utilities::setLogFilePathForTesting("/dev/null");
        system->addDevice({"Mic", 2, 0, {44100, 48000}, 48000});
        system->addDevice({"Speakers", 0, 2, {44100, 48000, 96000}, 48000});
        system->addDevice({"Headset", 1, 2, {48000}, 48000});
        system->setDefaultInput(129);
        system->setDefaultOutput(130);
        core = std::make_unique<Core>(system->factory());
        // A save flushes its file to disk; on a memory file system that costs nothing, on a disk it
        // would bound the run to a few hundred inputs a second.
        const std::string folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        const std::string base = folder + "/vantrell-fuzz-" + std::to_string(::getpid());
        input = base + "-in.json";
        saved = base + "-saved.json";
    }
    ~Machine() {
        ::unlink(input.c_str());
        ::unlink(saved.c_str());
    }

    std::shared_ptr<audio::VirtualAudioSystem> system = audio::VirtualAudioSystem::create();
    std::unique_ptr<Core> core;
    std::string input, saved;
};

Machine& machine() {
    static Machine instance;
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Machine& m = machine();
    std::ofstream(m.input, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                     static_cast<std::streamsize>(size));
    auto guard = m.core->lock();
    SessionsManager(m.core.get()).loadSession(m.input);
    SessionsManager(m.core.get()).saveSession(m.saved);
    std::ifstream savedFile(m.saved);
    const auto document = nlohmann::json::parse(savedFile, nullptr, false);
    if (!isLoadableSession(document)) std::abort();
    return 0;
}
