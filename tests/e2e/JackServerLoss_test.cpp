// The real binary on JACK when jackd dies and returns. JACK announces nothing, so only the engine's
// own look at the devices can tell that the server is back. The test runs its own jackd (dummy
// driver) and keeps the engine off PulseAudio, so JACK is the back end it picks.

#include "EngineProcess.hpp"
#include "PulseTools.hpp"
#include "TempDir.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::EngineProcess;

namespace {

testsupport::CommandResult jackScript(const std::string& function) {
    return testsupport::runCommand("bash -c 'source " VANTRELL_SCRIPTS "/audio-servers.sh && " + function + "'",
                                   30s);
}

// The write offset of a stream's export ring, as a front end maps it; nothing while there is none.
std::optional<std::uint64_t> ringWriteOffset(const std::string& name) {
    const int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd == -1) return std::nullopt;
    void* header = mmap(nullptr, 32, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (header == MAP_FAILED) return std::nullopt;
    const std::uint64_t offset = static_cast<const volatile std::uint64_t*>(header)[1];
    munmap(header, 32);
    return offset;
}

// True once the ring's write offset has moved twice within the timeout: the stream is playing.
bool ringMoves(const std::string& name, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<std::uint64_t> last = ringWriteOffset(name);
    int moves = 0;
    while (moves < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        const auto now = ringWriteOffset(name);
        if (now && last && *now != *last) ++moves;
        last = now;
    }
    return moves >= 2;
}

class JackServerLossTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* pulse = std::getenv("PULSE_SERVER");
        savedPulseServer = pulse ? std::optional<std::string>(pulse) : std::nullopt;
        // No PulseAudio answers this engine: JACK is the one server it finds.
        setenv("PULSE_SERVER", "unix:/nonexistent/vantrell-jack-test", 1);
        setenv("JACK_DEFAULT_SERVER", "vantrell_test_jack", 1);
        const auto started = jackScript("start_private_jack");
        ASSERT_EQ(started.status, 0) << started.output;
        engine = std::make_unique<EngineProcess>(VANTRELL_BINARY, dir.path().string());
        ASSERT_TRUE(engine->waitForStdout("CommandLineController constructor", 20s)) << engine->err();
        ASSERT_TRUE(engine->waitFor("> ", 10s));
    }

    void TearDown() override {
        if (engine && engine->alive()) {
            engine->send("exit");
            engine->waitExit(5s);
        }
        engine.reset();
        jackScript("stop_private_jack");
        if (savedPulseServer)
            setenv("PULSE_SERVER", savedPulseServer->c_str(), 1);
        else
            unsetenv("PULSE_SERVER");
        unsetenv("JACK_DEFAULT_SERVER");
    }

    std::string tail() const {
        const std::string out = engine->out();
        return out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
    }

    testsupport::TempDir dir;
    std::unique_ptr<EngineProcess> engine;
    std::optional<std::string> savedPulseServer;
};

TEST_F(JackServerLossTest, AStreamPlaysAgainByItselfEachTimeJackdReturns) {
    ASSERT_TRUE(engine->command("addStream 0 0 0 0 48000 256", 10s));
    ASSERT_TRUE(engine->command("startStream 0", 10s));
    ASSERT_TRUE(engine->waitFor("started successfully", 5s)) << tail();
    ASSERT_TRUE(ringMoves("/Stream0", 3s)) << "the stream does not play on JACK";

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto killed = jackScript("kill_private_jack");
        ASSERT_EQ(killed.status, 0) << killed.output;
        EXPECT_TRUE(engine->waitFor("RtAudio device disconnect: ", 10s, round)) << "the loss went unnoticed\n" << tail();
        EXPECT_FALSE(ringMoves("/Stream0", 500ms)) << "still playing without a server";
        const auto answered = engine->command("listStreams", 5s);
        EXPECT_TRUE(answered && *answered < 1000ms) << "the console waits on the dead server";

        const auto restarted = jackScript("restart_private_jack");
        ASSERT_EQ(restarted.status, 0) << restarted.output;
        EXPECT_TRUE(engine->waitFor("Stream 0 restarted: its devices are back", 10s, round)) << tail();
        EXPECT_TRUE(ringMoves("/Stream0", 3s)) << "the export stays still after the return";
    }
    // A further look at the devices (one a second) must not restart it again.
    EXPECT_FALSE(engine->waitFor("restarted: its devices are back", 1500ms, 3)) << tail();
    EXPECT_EQ(engine->count("restarted: its devices are back"), 2);
    EXPECT_TRUE(engine->alive());
}

} // namespace
