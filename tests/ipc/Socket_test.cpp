// The socket server over an engine of virtual devices: what reaches the connected client when the
// engine itself has news (chain changes made from another thread, a lost device), and that nothing
// is written once the client has gone, not even to a descriptor that now has its old number.

#include "ipc/Socket.hpp"

#include "engine/Core.hpp"

#include "LogCapture.hpp"
#include "ProtocolClient.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::LogCapture;
using testsupport::ProtocolClient;

namespace {

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogCapture quiet;
        engine.makeCore();
        socket = std::make_unique<IPC::Socket>(engine.core.get());
        socket->startListenThread();
    }

    void TearDown() override {
        LogCapture quiet;
        client.close();
        socket.reset();
    }

    // Waits until the engine's view of the client descriptor satisfies `done`.
    template <class Done>
    bool clientSocketBecomes(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done(socket->getClientSocket()))
            if (std::chrono::steady_clock::now() > deadline) return false;
            else std::this_thread::sleep_for(5ms);
        return true;
    }

    testsupport::VirtualEngine engine;
    std::unique_ptr<IPC::Socket> socket;
    ProtocolClient client;
};

TEST_F(SocketTest, EngineNewsReachTheConnectedClientAndNothingElse) {
    EXPECT_EQ(socket->getClientSocket(), -1);
    {
        auto guard = engine.core->lock();
        ASSERT_EQ(engine.core->addMasterEffect("PanEffect"), 0); // nobody to tell yet
    }
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(clientSocketBecomes([](int fd) { return fd >= 0; }));
    const int served = socket->getClientSocket();

    // A change made on this thread, as the console would, is pushed to the client.
    {
        auto guard = engine.core->lock();
        ASSERT_EQ(engine.core->setMasterEffectEnable("PanEffect", false), 0);
    }
    const auto pushed = client.receive(2s);
    ASSERT_TRUE(pushed);
    EXPECT_EQ(pushed->type, 14);
    EXPECT_EQ(testsupport::entries(*pushed, "isi"), (std::vector<std::string>{"-1 VolumeEffect 1", "-1 PanEffect 0"}));

    // A device that goes while a stream uses it.
    auto stream = engine.core->getStreamById(static_cast<unsigned>(
        engine.core->addStream(engine.headset, engine.headset, 0, 0, 48000, 256)));
    ASSERT_TRUE(stream);
    ASSERT_EQ(engine.core->startStream(stream->getStreamId()), 0);
    engine.system->unplug(engine.headset);
    engine.core->deviceEvents().drain();
    const auto lost = client.receive(2s);
    ASSERT_TRUE(lost);
    EXPECT_EQ(testsupport::hex(lost->wire()),
              testsupport::hex(testsupport::Request().i32(static_cast<int>(engine.headset)).i32(0).packet(21)));

    // Once the client has gone, its old descriptor number may belong to something else.
    client.close();
    ASSERT_TRUE(clientSocketBecomes([](int fd) { return fd == -1; }));
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    // Out of the way first: the pair itself may have taken the freed number.
    const int stranger = ::fcntl(pair[0], F_DUPFD_CLOEXEC, 100);
    const int watcher = ::fcntl(pair[1], F_DUPFD_CLOEXEC, 100);
    ::close(pair[0]);
    ::close(pair[1]);
    ASSERT_EQ(::dup2(stranger, served), served);
    {
        auto guard = engine.core->lock();
        ASSERT_EQ(engine.core->setMasterEffectEnable("PanEffect", true), 0);
    }
    char byte;
    EXPECT_EQ(::recv(watcher, &byte, 1, MSG_DONTWAIT), -1) << "a push reached a descriptor that is not the client";
    ::close(served);
    ::close(stranger);
    ::close(watcher);
}

} // namespace
