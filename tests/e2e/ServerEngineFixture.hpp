#pragma once

// The real binary on the private PulseAudio of the test script, driven at its console. The server
// may be killed and restarted in place (same directory, same socket); every test leaves it running.

#include "EngineProcess.hpp"
#include "ProtocolClient.hpp"
#include "PulseTools.hpp"
#include "TempDir.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace serverengine {

using namespace std::chrono_literals;
using testsupport::EngineProcess;

inline const std::string kLog = "/tmp/vantrell_runtime.log";

inline testsupport::CommandResult serverScript(const std::string& function) {
    return testsupport::runCommand("bash -c 'source " VANTRELL_SCRIPTS "/audio-servers.sh && " + function + "'",
                                   20s);
}

// Resident memory (KB) and CPU time used so far (s) of a process, from /proc.
struct Usage {
    long rssKb{0};
    double cpuSeconds{0};
};

inline Usage usageOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    unsigned long utime = 0, stime = 0;
    long rssPages = 0;
    std::sscanf(stat.c_str() + stat.rfind(')') + 2,
                "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %*d %*d %*d %*d %*d %*d %*u %*u %ld", &utime,
                &stime, &rssPages);
    return {rssPages * sysconf(_SC_PAGESIZE) / 1024,
            static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK))};
}

inline std::uintmax_t logSize() {
    std::error_code error;
    const auto size = std::filesystem::file_size(kLog, error);
    return error ? 0 : size;
}

class ServerEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage();
        engine = std::make_unique<EngineProcess>(VANTRELL_BINARY, dir.path().string());
        ASSERT_TRUE(engine->waitForStdout("CommandLineController constructor", 20s)) << engine->err();
        ASSERT_TRUE(engine->waitFor("> ", 10s));
        sine = deviceId("input", "Sine source at 440 Hz");
        main = deviceId("output", "Vantrell_Main");
        alt = deviceId("output", "Vantrell_Alt");
    }

    void TearDown() override {
        // Whatever happened, later tests need the server.
        if (system("pactl info >/dev/null 2>&1") != 0) serverScript("restart_private_sound_server");
        if (engine && engine->alive()) {
            engine->send("exit");
            engine->waitExit(5s);
        }
    }

    unsigned int deviceId(const std::string& direction, const std::string& name) {
        const unsigned int id = engine->deviceId(direction, name);
        EXPECT_NE(id, 0u) << "no " << direction << " device " << name;
        return id;
    }

    // Sends a command and returns how long the prompt after it took to come.
    std::chrono::milliseconds command(const std::string& line) {
        const auto took = engine->command(line, 30s);
        if (!took) ADD_FAILURE() << "no prompt after " << line;
        return took.value_or(30s);
    }

    static testsupport::ToneEstimate toneAt(const std::string& sink, unsigned int rate) {
        std::this_thread::sleep_for(1s);
        return testsupport::steadyTone(testsupport::recordMonitor(sink, 2, rate, 1500ms), 2, 0, rate);
    }

    testsupport::TempDir dir;
    std::unique_ptr<EngineProcess> engine;
    unsigned int sine{}, main{}, alt{};
};

} // namespace serverengine
