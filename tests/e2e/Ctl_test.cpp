// vantrellctl against the real engine on the private PulseAudio, each test with a socket of its
// own: listings against the engine's console, changes heard at the null sink, the meter read from
// the shared-memory export (once, and live under tmux), pushed packets, and failures that say what
// went wrong quickly.

#include "EngineProcess.hpp"
#include "PulseTools.hpp"
#include "TempDir.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <future>
#include <csignal>
#include <regex>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Json = nlohmann::json;
using testsupport::CommandResult;

namespace {

class CtlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage();
        socket = dir.file("engine.sock");
        // Inherited by the engine and by every vantrellctl the test runs.
        ::setenv("VANTRELL_SOCKET", socket.c_str(), 1);
        engine = std::make_unique<testsupport::EngineProcess>(VANTRELL_BINARY, dir.path().string());
        ASSERT_TRUE(engine->waitFor("Unix socket started at: " + socket, 20s)) << engine->out();
    }

    void TearDown() override {
        ::unsetenv("VANTRELL_SOCKET");
        // An engine that exits removes its exports; one killed would leave them behind under its
        // socket's own names.
        if (engine && engine->alive()) {
            engine->send("exit");
            engine->waitExit(10s);
        }
    }

    CommandResult ctl(const std::string& arguments) {
        return testsupport::runCommand(std::string(VANTRELLCTL_BINARY) + " " + arguments, 15s);
    }

    Json json(const std::string& arguments) {
        const auto result = ctl(arguments + " --json 2>/dev/null");
        EXPECT_EQ(result.status, 0) << arguments;
        return Json::parse(result.output, nullptr, false);
    }

    // The sine source into the main sink, stereo out, running.
    void startSineStream() {
        ASSERT_EQ(ctl("add " + std::to_string(sineId()) + " " + std::to_string(mainId()) + " 1 2 48000 512").output,
                  "Added stream 0\n");
        ASSERT_EQ(ctl("start 0").output, "Started stream 0\n");
    }

    int deviceId(const char* direction, const std::string& name) {
        const Json devices = json("devices");
        for (const auto& device : devices[direction])
            if (device["name"] == name) return device["id"];
        ADD_FAILURE() << "no device " << name;
        return 0;
    }
    int sineId() { return deviceId("inputs", "Sine source at 440 Hz"); }
    int mainId() { return deviceId("outputs", "Vantrell_Main"); }

    testsupport::TempDir dir;
    std::string socket;
    std::unique_ptr<testsupport::EngineProcess> engine;
};

double sinkLevel() {
    return testsupport::steadyTone(testsupport::recordMonitor("vantrell_main", 2, 48000, 1500ms), 2, 0, 48000).rms;
}

TEST_F(CtlTest, ListingsMatchTheConsoleAndChangesTakeHold) {
    const Json devices = json("devices");
    ASSERT_FALSE(devices["inputs"].empty());
    for (const char* direction : {"inputs", "outputs"})
        for (const auto& device : devices[direction])
            EXPECT_TRUE(engine->waitFor(std::string(direction[0] == 'i' ? "Added input device: " : "Added output device: ") +
                                            device["name"].get<std::string>() + " with id: " +
                                            std::to_string(device["id"].get<int>()),
                                        1s))
                << device;
    EXPECT_TRUE(std::regex_search(ctl("devices").output,
                                  std::regex("\ninput +" + std::to_string(sineId()) + " +1 +Sine source at 440 Hz\n")));
    startSineStream();

    engine->send("listStreams");
    ASSERT_TRUE(engine->waitFor("Stream id: 0 : Sine source at 440 Hz -> Vantrell_Main"));
    const auto table = ctl("streams").output;
    EXPECT_TRUE(std::regex_search(table, std::regex("\n0 +[0-9]+ Sine source at 440 Hz +[0-9]+ Vantrell_Main +48000 +512 +"
                                                    "100\\.0 +Stream")))
        << table;
    const Json streams = json("streams");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0]["output"], "Vantrell_Main");
    const Json rates = json("rates " + std::to_string(sineId()) + " " + std::to_string(mainId()));
    EXPECT_NE(std::find(rates.begin(), rates.end(), 48000), rates.end()) << rates;

    EXPECT_EQ(ctl("add-effect 0 ReverbEffect").status, 0);
    EXPECT_EQ(ctl("set 0 ReverbEffect mix 30").output, "ReverbEffect mix = 30.00 on stream 0\n");
    EXPECT_EQ(ctl("enable 0 ReverbEffect off").status, 0);
    EXPECT_EQ(json("effects 0")["effects"],
              Json::parse(R"([{"name":"VolumeEffect","enabled":true},{"name":"ReverbEffect","enabled":false}])"));
    const Json parameters = json("params 0 ReverbEffect")["parameters"];
    ASSERT_EQ(parameters.size(), 3u);
    EXPECT_EQ(parameters[1]["name"], "mix");
    EXPECT_EQ(parameters[1]["value"], 30.0);
    EXPECT_EQ(ctl("remove-effect 0 ReverbEffect").status, 0);
    EXPECT_EQ(json("effects 0")["effects"].size(), 1u);

    const std::string session = dir.file("live.json");
    EXPECT_EQ(ctl("save " + session).output, "Saved session to " + session + "\n");
    EXPECT_EQ(ctl("new").output, "New session: no streams\n");
    EXPECT_TRUE(json("streams").empty());
    EXPECT_EQ(ctl("load " + session).output, "Loaded session " + session + " (1 stream)\n");
    EXPECT_EQ(json("streams")[0]["output"], "Vantrell_Main");
}

TEST_F(CtlTest, VolumeIsHeardAtTheSinkAndReadByTheMeter) {
    startSineStream();
    const Json before = json("meter --once 0");
    EXPECT_EQ(before["running"], true);
    EXPECT_NEAR(before["channels"][0]["peakDb"].get<double>(), -6.0, 0.5) << before;
    EXPECT_TRUE(before["channels"][1]["peakDb"].is_null()) << before;
    const double unity = sinkLevel();
    ASSERT_GT(unity, 0.3);

    EXPECT_EQ(ctl("set 0 VolumeEffect volume 50").output, "VolumeEffect volume = 50.00 on stream 0\n");
    EXPECT_NEAR(sinkLevel() / unity, 0.5, 0.05);
    const Json after = json("meter --once 0");
    EXPECT_NEAR(after["channels"][0]["peakDb"].get<double>(), -12.0, 0.5) << after;
}

TEST_F(CtlTest, FailuresAreNamedQuicklyWithTheirStatus) {
    struct Case {
        std::string arguments;
        int status;
        std::string message;
    };
    const std::string absent = dir.file("absent.sock");
    const std::vector<Case> cases{
        {"streams", 3, "engine not running: cannot connect to " + absent},
        {"start 7", 1, "no such stream: 7"},
        {"effects 7", 1, "no such stream: 7"},
        {"params -1 PanEffect", 1, "no effect PanEffect on the master chain"},
        {"meter --once 7", 1, "stream 7 exports no audio"},
        {"start", 2, "usage: vantrellctl start ID"},
        {"set 0 VolumeEffect volume loud", 2, "usage: vantrellctl set ID NAME PARAM VALUE"},
        {"enable 0 VolumeEffect maybe", 2, "usage: vantrellctl enable ID NAME on|off"},
        {"frobnicate", 2, "unknown command: frobnicate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        const auto started = std::chrono::steady_clock::now();
        const auto run = c.status == 3 ? testsupport::runCommand("VANTRELL_SOCKET=" + absent + " " +
                                                                 VANTRELLCTL_BINARY + " " + c.arguments)
                                       : ctl(c.arguments);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    }
}

// A change the engine refuses exits 1 at once with the engine's own reason; a start answers once
// the stream runs or with why it cannot (here: its sink is gone).
TEST_F(CtlTest, RefusalsCarryTheEnginesReasonAtOnce) {
    startSineStream();
    const auto loaded = testsupport::runCommand("pactl load-module module-null-sink sink_name=vantrell_ctl_gone rate=48000 "
                                                "sink_properties=device.description=Ctl_Gone");
    ASSERT_EQ(loaded.status, 0) << loaded.output;
    const int gone = deviceId("outputs", "Ctl_Gone");
    ASSERT_EQ(ctl("add " + std::to_string(sineId()) + " " + std::to_string(gone) + " 1 2 48000 512").output,
              "Added stream 1\n");
    testsupport::runCommand("pactl unload-module " + loaded.output.substr(0, loaded.output.find_first_of("\r\n")));
    const std::vector<std::pair<std::string, std::string>> cases{
        {"add 999 998 1 2 48000 1024", "the engine refused the stream: Sample rate 48000 is not supported"},
        {"set 0 VolumeEffect volume 1000", "the engine kept VolumeEffect volume at 100.00 (asked for 1000.00): Value refused"},
        {"add-effect 0 Bogus", "the engine did not add Bogus to stream 0: Effect not found"},
        {"save /proc/none/s.json", "the engine did not save /proc/none/s.json: Could not create session file"},
        {"start 1", "stream 1 did not start: "},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(arguments);
        const auto started = std::chrono::steady_clock::now();
        const auto run = ctl(arguments);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find(message), std::string::npos) << run.output;
    }
}

// A load the engine refuses exits 1 with its reason; a FIFO or a file above the bound is refused
// at once, before anything is sent (opening a FIFO used to wait for a writer for ever).
TEST_F(CtlTest, RefusedLoadsExitOneAndFifosAreRefusedAtOnce) {
    startSineStream();
    const std::string saved = dir.file("live.json"), loud = dir.file("loud.json"), fifo = dir.file("fifo"),
                      big = dir.file("big.json");
    ASSERT_EQ(ctl("save " + saved).status, 0);
    std::ifstream in(saved);
    Json document = Json::parse(in);
    for (auto& effect : document[1][0]["effects"])
        if (effect["name"] == "VolumeEffect") effect["parameters"]["volume"] = 1000.0;
    std::ofstream(loud) << document.dump(4);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big) << document.dump(4);
    ASSERT_EQ(::truncate(big.c_str(), 9 << 20), 0);
    ASSERT_EQ(ctl("new").status, 0);

    const auto refused = ctl("load " + loud);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("the engine did not load " + loud + ": Session refused: stream entry 0, effect (VolumeEffect)"), std::string::npos)
        << refused.output;
    const int loads = engine->count("Loading session: ");
    for (const auto& [path, reason] : {std::pair{fifo, "not a regular file: " + fifo},
                                       std::pair{big, big + " is 9.0 MiB, above the 4.0 MiB"}}) {
        const auto started = std::chrono::steady_clock::now();
        const auto run = ctl("load " + path);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find(reason), std::string::npos) << run.output;
    }
    EXPECT_EQ(engine->count("Loading session: "), loads);
    EXPECT_EQ(ctl("load " + saved).output, "Loaded session " + saved + " (1 stream)\n");
}

// Each engine on its own socket exports under names of its own, and vantrellctl meters the engine
// at its socket: a second engine's stream 0 is never taken for the first one's, and it goes on
// exporting once the first has gone.
TEST_F(CtlTest, TwoEnginesOnTheirOwnSocketsEachMeterTheirOwnStreams) {
    startSineStream();
    const std::string other = dir.file("other.sock");
    ::setenv("VANTRELL_SOCKET", other.c_str(), 1);
    testsupport::EngineProcess second(VANTRELL_BINARY, dir.path().string());
    ::setenv("VANTRELL_SOCKET", socket.c_str(), 1);
    ASSERT_TRUE(second.waitFor("Unix socket started at: " + other, 20s)) << second.out();
    const auto onSecond = [&](const std::string& arguments) {
        return testsupport::runCommand("VANTRELL_SOCKET=" + other + " " + VANTRELLCTL_BINARY + " " + arguments, 15s);
    };
    const auto peakOnSecond = [&] {
        const Json reading = Json::parse(onSecond("meter --once 0 --json").output, nullptr, false);
        EXPECT_EQ(reading["running"], true) << reading;
        return reading["channels"][0]["peakDb"].is_number() ? reading["channels"][0]["peakDb"].get<double>() : 0.0;
    };
    ASSERT_EQ(onSecond("add " + std::to_string(sineId()) + " " + std::to_string(mainId()) + " 1 2 48000 512").status,
              0);
    ASSERT_EQ(onSecond("start 0").status, 0);
    ASSERT_EQ(onSecond("set 0 VolumeEffect volume 25").status, 0);

    EXPECT_NEAR(json("meter --once 0")["channels"][0]["peakDb"].get<double>(), -6.0, 0.5);
    EXPECT_NEAR(peakOnSecond(), -18.0, 0.5);
    engine->send("exit");
    ASSERT_EQ(engine->waitExit(10s), 0);
    ASSERT_EQ(onSecond("edit 0 0 0 1 2 48000 512").status, 0);  // stops and starts it again
    EXPECT_NEAR(peakOnSecond(), -18.0, 0.5);
    second.send("exit");
    EXPECT_EQ(second.waitExit(10s), 0);
}

// A name with escape sequences reaches the terminal escaped, and JSON keeps it as it is.
TEST_F(CtlTest, NamesWithControlCharactersAreEscapedInTables) {
    startSineStream();
    ASSERT_EQ(ctl("edit 0 0 0 1 2 0 0 \"$(printf '\\033]0;owned\\007\\033[31m')\"").status, 0);
    const std::string table = ctl("streams").output;
    EXPECT_EQ(table.find('\x1b'), std::string::npos) << table;
    EXPECT_NE(table.find("\\x1b]0;owned\\x07\\x1b[31m"), std::string::npos) << table;
    EXPECT_EQ(json("streams")[0]["name"], "\x1b]0;owned\x07\x1b[31m");
}

// Whatever listens at the socket path must run as the same user (or root): a listener of another
// user could make up any reply.
TEST(CtlOwner, AListenerOfAnotherUserIsRefusedWithItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    const std::string path = "/tmp/vantrell-ctl-owner-" + std::to_string(::getpid()) + ".sock";
    ::unlink(path.c_str());
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(3);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) _exit(4);
        ::chmod(path.c_str(), 0666);
        ::pause();
        _exit(0);
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    struct stat info {};
    const auto listening = [&] { return ::stat(path.c_str(), &info) == 0 && (info.st_mode & 0777) == 0666; };
    while (!listening() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    const auto run = testsupport::runCommand("VANTRELL_SOCKET=" + path + " " + VANTRELLCTL_BINARY + " streams", 10s);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::unlink(path.c_str());
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_NE(run.output.find("belongs to user nobody (uid 65534)"), std::string::npos) << run.output;
}

TEST_F(CtlTest, WatchPrintsPushesFromConsoleAndOtherClientsAndStopsOnInterrupt) {
    engine->send("addStream");
    ASSERT_TRUE(engine->waitFor(" added", 10s)) << engine->out();
    const int connected = engine->count("Client connected");
    auto watching = std::async(std::launch::async, [] {
        return testsupport::runCommand(std::string("timeout --preserve-status -s INT 3 ") + VANTRELLCTL_BINARY +
                                       " watch 2>/dev/null");
    });
    ASSERT_TRUE(engine->waitFor("Client connected", 5s, connected + 1));
    engine->send("addEffect 0 PanEffect");
    // Another client beside the watching one is served at once, and its change is pushed to both.
    const auto started = std::chrono::steady_clock::now();
    const auto added = ctl("add-effect 0 ReverbEffect");
    EXPECT_EQ(added.status, 0) << added.output;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    const auto result = watching.get();
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("effects of stream 0: VolumeEffect on, PanEffect on\n"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("effects of stream 0: VolumeEffect on, PanEffect on, ReverbEffect on\n"),
              std::string::npos)
        << result.output;
}

// The live meter in a terminal of its own: tmux types and reads the screen.
TEST_F(CtlTest, LiveMeterBarsFollowTheLevelAndQRestoresTheTerminal) {
    startSineStream();
    const std::string tmux = "tmux -L vantrell-ctl-" + std::to_string(::getpid()) + " -f /dev/null ";
    struct Server {
        std::string tmux;
        ~Server() { testsupport::runCommand(tmux + "kill-server"); }
    } server{tmux};
    ASSERT_EQ(testsupport::runCommand(tmux + "new-session -d -s meter -x 120 -y 30 sh").status, 0);
    testsupport::runCommand(tmux + "send-keys -t meter '" + VANTRELLCTL_BINARY +
                            " meter 0; echo EXIT=$?; stty -a; echo END-$((6*7))' Enter");
    auto screen = [&] { return testsupport::runCommand(tmux + "capture-pane -p -t meter").output; };
    // '#' cells of channel 0's bar, -1 while it is not on screen.
    auto bar = [&](const std::string& text) {
        std::smatch line;
        if (!std::regex_search(text, line, std::regex("ch 0  \\[([# |]*)\\]"))) return -1;
        return static_cast<int>(std::count(line[1].first, line[1].second, '#'));
    };
    auto waitScreen = [&](auto done) {
        std::string text;
        for (auto deadline = std::chrono::steady_clock::now() + 8s; std::chrono::steady_clock::now() < deadline;) {
            if (done(text = screen())) break;
            std::this_thread::sleep_for(100ms);
        }
        return text;
    };
    // The sine's -9 dBFS RMS fills 34 of 40 cells once the meter's window holds only sound.
    std::string text = waitScreen([&](const std::string& t) { return bar(t) >= 33; });
    const int loud = bar(text);
    ASSERT_GE(loud, 33) << text;
    EXPECT_NE(text.find("ch 1  [" + std::string(40, ' ') + "]"), std::string::npos) << text;

    ASSERT_EQ(ctl("set 0 VolumeEffect volume 50").status, 0);
    text = waitScreen([&](const std::string& t) { return bar(t) > 0 && bar(t) <= loud - 3; });
    EXPECT_LE(bar(text), loud - 3) << text;

    testsupport::runCommand(tmux + "send-keys -t meter q");
    // stty's whole report follows the exit status; "END-42" after it (the typed line says "END-$((6*7))").
    text = waitScreen([](const std::string& t) { return t.find("END-42") != std::string::npos; });
    EXPECT_NE(text.find("EXIT=0"), std::string::npos) << text;
    EXPECT_EQ(bar(text), -1) << text; // the meter's screen is gone
    EXPECT_TRUE(std::regex_search(text, std::regex(" icanon ")) && std::regex_search(text, std::regex(" echo ")))
        << text;
}

TEST(CtlEngineOptions, HelpAndVersionStartNoEngine) {
    ::setenv("VANTRELL_SOCKET", "/tmp/vantrell-help-test.sock", 1);
    const auto help = testsupport::runCommand(std::string(VANTRELL_BINARY) + " --help", 5s);
    ::unsetenv("VANTRELL_SOCKET");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("/tmp/vantrell-help-test.sock"), std::string::npos) << help.output;
    const auto version = testsupport::runCommand(std::string(VANTRELL_BINARY) + " --version", 5s);
    EXPECT_TRUE(std::regex_match(version.output, std::regex("vantrell [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.output;
    const auto wrong = testsupport::runCommand(std::string(VANTRELL_BINARY) + " --frobnicate", 5s);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.output.find("usage: vantrell"), std::string::npos);
}

} // namespace
