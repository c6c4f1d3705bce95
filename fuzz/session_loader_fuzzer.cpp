// Arbitrary bytes as a session file, loaded into an engine on virtual devices. Whatever a load
// builds must save to a file that loads again; anything else (a crash, a sanitizer report, an
// abort below) is a finding.

#include "FuzzEngine.hpp"

#include "engine/Core.hpp"
#include "sessions/SessionValidator.hpp"
#include "sessions/SessionsManager.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& machine = fuzzing::machine();
    Core& core = machine.engine();
    // In the scratch folder, in memory where possible: a save flushes its file to disk.
    std::ofstream("input.json", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    // So that a save that fails is a missing file below, not the previous input's.
    std::remove("saved.json");
    {
        auto guard = core.lock();
        SessionsManager(&core).loadSession("input.json");
        SessionsManager(&core).saveSession("saved.json");
    }
    std::ifstream savedFile("saved.json");
    const auto document = nlohmann::json::parse(savedFile, nullptr, false);
    if (!isLoadableSession(document)) std::abort();
    // A load that fails leaves the engine as it was: without the reset the next input would save
    // what this one loaded. The two files are written afresh by the next input, so the scratch folder
    // is left as it is (emptying it cost a tenth of each input in file-system calls).
    machine.resetEngineOnly();
    return 0;
}
