// The real binary on a machine where no audio server answers: this machine has no sound card, so
// with the private PulseAudio out of reach there is no device at all.

#include "EngineProcess.hpp"
#include "TempDir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using namespace std::chrono_literals;

namespace {

TEST(StartupTest, NoDeviceAnywhereEndsWithStatus255AndOnlyTheEnginesOwnLines) {
    const char* saved = std::getenv("PULSE_SERVER");
    const std::string previous = saved ? saved : "";
    setenv("PULSE_SERVER", "unix:/nonexistent/vantrell-no-server", 1);
    testsupport::TempDir dir;
    testsupport::EngineProcess engine(VANTRELL_BINARY, dir.path().string());
    const auto status = engine.waitExit(30s);
    if (saved) setenv("PULSE_SERVER", previous.c_str(), 1); else unsetenv("PULSE_SERVER");

    ASSERT_TRUE(status.has_value()) << "the engine kept running without devices";
    EXPECT_EQ(*status, 255);
    EXPECT_NE(engine.err().find("No input device found"), std::string::npos) << engine.err();
    EXPECT_NE(engine.err().find("Failed to update input devices list"), std::string::npos);
    // Probing the audio libraries leaves no noise of theirs on standard error: every line there is
    // one of the engine's own error lines.
    std::istringstream lines(engine.err());
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) EXPECT_EQ(line.rfind("\x1b[31m[ERROR] ", 0), 0u) << line;
    EXPECT_EQ(engine.out().rfind("✅ Micro déjà autorisé\n", 0), 0u);
    EXPECT_EQ(engine.out().find("CommandLineController constructor"), std::string::npos);
}

} // namespace
