// The log lines operators and scripts match on (docs/console.md, protocol.md, sessions.md,
// safeguards.md, audio-servers.md): one row per line, the action that provokes it on the virtual
// back end and the exact line. A change of wording here is a change of the documented contract.

#include "console/CommandLineController.hpp"
#include "engine/Core.hpp"
#include "ipc/Socket.hpp"
#include "ipc/SocketPath.hpp"
#include "sessions/SessionsManager.hpp"

#include "Eventually.hpp"
#include "LogCapture.hpp"
#include "ProtocolClient.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

using testsupport::LogCapture;
using testsupport::VirtualEngine;

// Stream 0 runs Mic -> Speakers; the working directory is the engine's temporary one (snapshots).
struct Machine {
    VirtualEngine engine;
    Core* core{};
    Stream& stream() const { return *core->getStreamById(0); }
    void devicesChange(void (audio::VirtualBackEnd::*change)(audio::DeviceId)) {
        (*engine.system.*change)(engine.speakers);
        core->deviceEvents().drain();
    }
    void xrun(audio::StreamStatus status) {
        engine.runPeriod(stream(), {0.5f, -0.5f}, status);
        stream().drainSnapshots();
    }
};

struct ContractLine {
    const char* name;
    void (*action)(Machine&);
    // DIR stands for the engine's temporary directory, SOCKET for the socket's path.
    std::string line;
};

const ContractLine kLines[] = {
    {"streamStarted", [](Machine&) {}, "Stream Stream129-130 started successfully"},
    {"streamStopped", [](Machine& m) { m.core->stopStream(0); }, "Stream Stream129-130 stopped successfully"},
    {"deviceLost", [](Machine& m) { m.devicesChange(&audio::VirtualBackEnd::unplug); },
     "RtAudio device disconnect: The device \"Speakers\" (130) went away."},
    {"devicesBack",
     [](Machine& m) {
         m.devicesChange(&audio::VirtualBackEnd::unplug);
         m.devicesChange(&audio::VirtualBackEnd::plugIn);
     },
     "Stream 0 restarted: its devices are back"},
    {"inputOverflow", [](Machine& m) { m.xrun(audio::kInputOverflow); }, "Input overflow"},
    {"outputUnderflow", [](Machine& m) { m.xrun(audio::kOutputUnderflow); }, "Output underflow"},
    {"bothXruns", [](Machine& m) { m.xrun(audio::kInputOverflow | audio::kOutputUnderflow); },
     "Input overflow and output underflow"},
    {"valueRefused", [](Machine& m) { m.core->setMasterEffectParameter("VolumeEffect", "volume", 1000); },
     "Value refused: VolumeEffect volume 1000.000000 is outside 0.000000 .. 200.000000"},
    {"commandNotFound", [](Machine& m) { CommandLineController(m.core).parseCommand("frobnicate 1"); },
     "Command not found"},
    {"sessionNotAFile", [](Machine& m) { SessionsManager(m.core).loadSession(m.engine.dir.path().string()); },
     "Could not open session file: DIR (it is not a regular file)"},
    {"sessionNotLoadable",
     [](Machine& m) {
         std::ofstream(m.engine.dir.file("s.json")) << "7";
         SessionsManager(m.core).loadSession(m.engine.dir.file("s.json"));
     },
     "Could not load session file: DIR/s.json"},
    {"sessionNotCreated", [](Machine& m) { SessionsManager(m.core).saveSession(m.engine.dir.file("none/s.json")); },
     "Could not create session file: DIR/none/s.json (No such file or directory)"},
    {"socketStarted",
     [](Machine& m) {
         IPC::Socket socket(m.core);
         socket.startListenThread();
         testsupport::ProtocolClient client;
         ASSERT_TRUE(client.connect());
         // The line comes before the socket accepts anyone.
         ASSERT_TRUE(testsupport::eventually([&] { return socket.clientCount() > 0; }));
     },
     "Unix socket started at: SOCKET"},
};

class ContractLinesTest : public ::testing::TestWithParam<ContractLine> {
protected:
    void SetUp() override {
        LogCapture quiet;
        machine.core = &machine.engine.makeCore();
        ASSERT_EQ(machine.core->addStream(machine.engine.mic, machine.engine.speakers, 2, 2, 48000, 256), 0);
        std::filesystem::current_path(machine.engine.dir.path());
    }
    void TearDown() override { std::filesystem::current_path(cwd); }

    std::filesystem::path cwd = std::filesystem::current_path();
    Machine machine;
};

std::string expand(std::string line, const std::string& placeholder, const std::string& value) {
    if (const auto at = line.find(placeholder); at != std::string::npos) line.replace(at, placeholder.size(), value);
    return line;
}

TEST_P(ContractLinesTest, IsWrittenExactlyOnce) {
    const auto logs = testsupport::captureLogs([&] {
        machine.core->startStream(0);
        GetParam().action(machine);
    });
    std::string expected = expand(GetParam().line, "DIR", machine.engine.dir.path().string());
    expected = expand(expected, "SOCKET", IPC::socketPath());
    std::vector<std::string> messages;
    for (const auto* lines : {&logs.out, &logs.err})
        for (const auto& line : *lines) messages.push_back(line.message);
    EXPECT_EQ(std::ranges::count(messages, expected), 1) << ::testing::PrintToString(messages);
}

INSTANTIATE_TEST_SUITE_P(Documented, ContractLinesTest, ::testing::ValuesIn(kLines),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
