// Other local users against the real binary: the socket file's mode, another user's client or file
// at the socket path, and what may be planted at the shared log path.

#include "ProtocolClient.hpp"
#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::ProtocolClient;
using testsupport::Request;

namespace {

constexpr uid_t kNobody = 65534;
constexpr std::uint16_t kEffectList = 14;
const std::string kLogPath = "/tmp/vantrell_runtime.log";

class LocalSecurityTest : public testsupport::ProtocolEngineTest {
protected:
    LocalSecurityTest() : ProtocolEngineTest(VANTRELL_BINARY) {}

    // The engine is started by each test, after it has set the scene.
    void SetUp() override { ASSERT_FALSE(testsupport::pulseServer().empty()) << testsupport::missingPulseServerMessage(); }

    void start() {
        engine = startEngine();
        ASSERT_TRUE(engine);
    }
    void expectServed() {
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(client.send(kEffectList, Request().i32(-1)));
        const auto answer = client.receive(5s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->type, kEffectList);
    }
    void requireRoot() {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    }
};

TEST_F(LocalSecurityTest, TheSocketIsOwnerOnlyUnderUmaskZero) {
    const mode_t previous = ::umask(0);
    start();
    ::umask(previous);
    struct stat info {};
    ASSERT_EQ(::stat(ProtocolClient::kPath, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    expectServed();
}

TEST_F(LocalSecurityTest, AnotherUsersClientIsRefused) {
    requireRoot();
    start();
    // As if it had connected before the mode was set: only the credential check stands in its way.
    ASSERT_EQ(::chmod(ProtocolClient::kPath, 0666), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(3);
        ProtocolClient intruder;
        if (!intruder.connect(2s)) _exit(4);
        intruder.send(kEffectList, Request().i32(-1));
        _exit(intruder.receive(2s) ? 1 : (intruder.waitClosedByPeer(2s) ? 0 : 2));
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: answered, 2: left open, 3/4: could not set up";
    EXPECT_TRUE(engine->waitFor("Refused a client of user nobody (uid 65534): only the engine's own user may connect", 2s));
    expectServed();
}

TEST_F(LocalSecurityTest, AnotherUsersFileAtTheSocketPathIsNamedAndLeftAlone) {
    requireRoot();
    ::unlink(ProtocolClient::kPath);
    std::FILE* planted = std::fopen(ProtocolClient::kPath, "w");
    ASSERT_TRUE(planted);
    std::fclose(planted);
    ASSERT_EQ(::chown(ProtocolClient::kPath, kNobody, kNobody), 0);
    engine = std::make_unique<testsupport::EngineProcess>(binary, dir.path().string());
    EXPECT_TRUE(engine->waitFor("Failed to bind socket: /tmp/vantrell_sock is held by user nobody (uid 65534)", 20s));
    engine->send("help");
    EXPECT_TRUE(engine->waitFor("Available commands:", 5s));
    struct stat info {};
    EXPECT_EQ(::stat(ProtocolClient::kPath, &info), 0);
    EXPECT_EQ(info.st_uid, kNobody);
    engine->send("exit");
    EXPECT_EQ(engine->waitExit(5s), 0);
    ::unlink(ProtocolClient::kPath);
}

// Whatever is at the socket path and is not a socket is the user's: the engine runs without a socket.
TEST_F(LocalSecurityTest, AFileAtTheSocketPathIsKept) {
    ::unlink(ProtocolClient::kPath);
    std::FILE* notes = std::fopen(ProtocolClient::kPath, "w");
    ASSERT_TRUE(notes);
    std::fputs("my notes", notes);
    std::fclose(notes);
    engine = std::make_unique<testsupport::EngineProcess>(binary, dir.path().string());
    engine->send("help");
    ASSERT_TRUE(engine->waitFor("Available commands:", 20s));
    EXPECT_FALSE(client.connect(1s));
    engine->send("exit");
    EXPECT_EQ(engine->waitExit(5s), 0);
    EXPECT_EQ(testsupport::readFile(ProtocolClient::kPath), "my notes");
    ::unlink(ProtocolClient::kPath);
}

class PlantedLog : public LocalSecurityTest, public ::testing::WithParamInterface<bool> {};

// A symbolic link or a FIFO at the log path: refused in one line, the engine starts and serves.
TEST_P(PlantedLog, IsRefusedAndTheEngineServes) {
    const std::string aside = dir.file("log-aside");
    const bool hadLog = ::rename(kLogPath.c_str(), aside.c_str()) == 0;
    const std::string victim = dir.file("victim");
    std::FILE* file = std::fopen(victim.c_str(), "w");
    ASSERT_TRUE(file);
    std::fclose(file);
    const bool symlink = GetParam();
    ASSERT_EQ(symlink ? ::symlink(victim.c_str(), kLogPath.c_str()) : ::mkfifo(kLogPath.c_str(), 0600), 0);
    start();
    if (engine) {
        expectServed();
        EXPECT_EQ(engine->count("Not writing the log file " + kLogPath), 1) << engine->err();
        EXPECT_EQ(testsupport::readFile(victim), "");
    }
    ::unlink(kLogPath.c_str());
    if (hadLog) ::rename(aside.c_str(), kLogPath.c_str());
}

INSTANTIATE_TEST_SUITE_P(SymlinkOrFifo, PlantedLog, ::testing::Bool());

} // namespace
