#pragma once

// What the fuzz targets share: one engine on virtual devices, brought back to its starting state
// after every input, and a scratch folder emptied after every input that saved, so nothing one
// input builds or saves carries into the next.

#include "ReusableEngine.hpp"

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace fuzzing {

// The working folder while inputs run, emptied after each input that saved: an input never loads
// what an earlier one saved, so every input replays alone, and saved sessions don't pile up for each
// load to parse.
class ScratchFolder {
public:
    ScratchFolder() {
        // Under TMPDIR when set (the fuzz script's own folder, removed however the target ends),
        // else in memory where possible.
        const char* base = std::getenv("TMPDIR");
        if (!base || !*base) base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/vantrell-fuzz.XXXXXX";
        const char* made = mkdtemp(pattern.data());
        if (!made || ::chdir(made) != 0) throw std::runtime_error("no scratch folder for the fuzz target");
        path = made;
        // libFuzzer writes new inputs and crashes to the paths it was given, now read from here.
        std::fprintf(stderr, "Inputs run in %s: give corpus and artifact paths as absolute paths\n", made);
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
    Core& engine() { return reused.engine(); }

    void reset() {
        scratch.empty();
        reused.reset();
    }
    // For a target whose inputs write only files of fixed names, each one replaced by the next input.
    void resetEngineOnly() { reused.reset(); }

private:
    // Log lines are not under test here, and opening the log file for each one took a sixth of
    // every execution; most messages are still built, only not written.
    Utilities::QuietScope quiet;
    ScratchFolder scratch;
    testsupport::ReusableEngine reused{"fuzz" + std::to_string(::getpid())};
};

inline FuzzEngine& machine() {
    static FuzzEngine engine;
    return engine;
}

} // namespace fuzzing
