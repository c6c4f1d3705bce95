// vantrellctl and the panel against the engine's own socket over virtual devices: replies far above
// the 64 KiB request bound are read whole, and an engine that serves its maximum of clients is
// named as such rather than as a lost connection.

#include "ctl/EngineClient.hpp"
#include "ctl/Failure.hpp"
#include "ctl/web/PanelEngine.hpp"
#include "engine/Core.hpp"
#include "ipc/Socket.hpp"
#include "ipc/SocketPath.hpp"

#include "LogCapture.hpp"
#include "VirtualEngine.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class CtlEngineLimits : public ::testing::Test {
protected:
    void SetUp() override {
        engine.makeCore();
        socket = std::make_unique<IPC::Socket>(engine.core.get());
        socket->startListenThread();
    }
    void TearDown() override {
        for (int fd : held) ::close(fd);
        socket.reset();
    }

    // A connection that is open (the engine may need a moment to listen).
    std::unique_ptr<Ctl::Connection> connect() {
        auto connection = std::make_unique<Ctl::Connection>(IPC::socketPath(), 3000ms);
        for (auto deadline = std::chrono::steady_clock::now() + 5s;; std::this_thread::sleep_for(10ms)) {
            try {
                connection->open();
                return connection;
            } catch (const Ctl::Failure&) {
                if (std::chrono::steady_clock::now() > deadline) throw;
            }
        }
    }

    // `count` streams whose names take the longest a name may be.
    void addNamedStreams(int count) {
        auto guard = engine.core->lock();
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(engine.core->addStream(engine.mic, engine.speakers, 0, 0, 48000, 256), i);
            auto stream = engine.core->getStreamById(static_cast<unsigned int>(i));
            auto options = stream->getOptions();
            options.streamName = std::to_string(i) + std::string(Stream::kMaxNameBytes - 4, 'n');
            stream->setOptions(options);
        }
    }

    testsupport::LogCapture quiet;
    testsupport::VirtualEngine engine;
    std::unique_ptr<IPC::Socket> socket;
    std::vector<int> held;
};

constexpr int kStreams = 240; // a stream list of some 68 KB

TEST_F(CtlEngineLimits, AStreamListAboveTheRequestBoundIsReadWhole) {
    addNamedStreams(kStreams);
    auto connection = connect();
    const auto streams = Ctl::EngineClient(*connection).streams();
    quiet.take();
    ASSERT_EQ(streams.size(), static_cast<std::size_t>(kStreams));
    EXPECT_EQ(streams.back().name, std::to_string(kStreams - 1) + std::string(Stream::kMaxNameBytes - 4, 'n'));
}

TEST_F(CtlEngineLimits, ThePanelShowsAStreamListAboveTheRequestBound) {
    addNamedStreams(kStreams);
    Ctl::Web::PanelEngine panel(IPC::socketPath());
    panel.start();
    nlohmann::json state;
    for (auto [version, deadline] = std::pair{0ull, std::chrono::steady_clock::now() + 60s};
         std::chrono::steady_clock::now() < deadline;) {
        const auto [next, text] = panel.stateAfter(version, 500ms);
        version = next;
        state = nlohmann::json::parse(text);
        if (state["streams"].size() == static_cast<std::size_t>(kStreams)) break;
    }
    panel.stop();
    quiet.take();
    EXPECT_EQ(state["engine"]["connected"], true);
    EXPECT_EQ(state["streams"].size(), static_cast<std::size_t>(kStreams));
}

TEST_F(CtlEngineLimits, AFullEngineIsNamedAsFull) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", IPC::socketPath().c_str());
    for (std::size_t i = 0; i < IPC::Socket::kMaxClients; ++i) {
        held.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        // The first waits for the engine to listen.
        for (auto deadline = std::chrono::steady_clock::now() + 5s;
             ::connect(held.back(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
             std::this_thread::sleep_for(10ms))
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    }
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         socket->clientCount() < IPC::Socket::kMaxClients && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(socket->clientCount(), IPC::Socket::kMaxClients);
    try {
        auto connection = connect();
        Ctl::EngineClient(*connection).streams();
        quiet.take();
        ADD_FAILURE() << "a full engine answered";
    } catch (const Ctl::Failure& failure) {
        quiet.take();
        EXPECT_EQ(failure.status(), Ctl::kNoReply);
        EXPECT_NE(std::string(failure.what()).find("refused the connection: it serves its maximum of clients"),
                  std::string::npos)
            << failure.what();
    }
}

} // namespace
