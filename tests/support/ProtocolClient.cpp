#include "ProtocolClient.hpp"

#include "PulseTools.hpp"

#include "ipc/Packet.hpp"
#include "ipc/SocketUtils.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// The wire format is the engine's own codec's; these only move between its bytes and the tests'.
void append(Bytes& bytes, const std::vector<char>& encoded) { bytes.insert(bytes.end(), encoded.begin(), encoded.end()); }

std::vector<char> chars(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

} // namespace

Request& Request::i32(std::int32_t value) {
    append(bytes_, IPC::Packet<int>::serialize(value));
    return *this;
}

Request& Request::f32(float value) {
    append(bytes_, IPC::Packet<float>::serialize(value));
    return *this;
}

Request& Request::str(const std::string& value) {
    append(bytes_, IPC::Packet<std::string>::serialize(value));
    return *this;
}

Request& Request::raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes Request::packet(std::uint16_t type) const {
    return rawPacket(static_cast<std::int32_t>(bytes_.size()), type, bytes_);
}

Bytes rawPacket(std::int32_t size, std::uint16_t type, const Bytes& payload) {
    Bytes bytes;
    append(bytes, IPC::SocketUtils::frameHeader(size, type));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes requestFlood(int requests) {
    const Bytes one = Request().i32(-1).str("VolumeEffect").packet(19);
    Bytes flood;
    for (int i = 0; i < requests; ++i) flood.insert(flood.end(), one.begin(), one.end());
    return flood;
}

Bytes Packet::wire() const { return rawPacket(static_cast<std::int32_t>(payload.size()), type, payload); }

Reply::Reply(const Packet& packet) : bytes_(chars(packet.payload)), reader_(bytes_) {}

template <typename Value>
Value Reply::read(Value value) {
    if (!reader_.read(value)) {
        if (!failed_) ADD_FAILURE() << "reply too short: " << hex(Bytes(bytes_.begin(), bytes_.end()));
        failed_ = true;
        return Value{};
    }
    return value;
}

std::int32_t Reply::i32() { return read(0); }

float Reply::f32() { return read(0.0f); }

std::string Reply::str() { return read(std::string()); }

ProtocolClient::~ProtocolClient() { close(); }

bool ProtocolClient::connect(std::chrono::milliseconds timeout) {
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kPath, sizeof(address.sun_path) - 1);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return true;
        close();
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ProtocolClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    inbox_.clear();
}

void ProtocolClient::stopReceiving() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RD);
}

bool ProtocolClient::sendBytes(const Bytes& bytes) {
    if (fd_ < 0) return false;
    // One call, so the engine reads the whole request at once.
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(bytes.size());
}

bool ProtocolClient::fill(Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{fd_, POLLIN, 0};
        const int ready = ::poll(&readable, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return true; // deadline
        std::uint8_t buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        inbox_.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
        return true;
    }
}

std::optional<Packet> ProtocolClient::takePacket() {
    IPC::PacketFramer::Frame frame;
    switch (inbox_.next(frame)) {
    case IPC::PacketFramer::Next::Incomplete:
        return std::nullopt;
    case IPC::PacketFramer::Next::Rejected:
        ADD_FAILURE() << "a reply announced an impossible payload size: " << frame.size;
        return std::nullopt;
    case IPC::PacketFramer::Next::Packet:
        break;
    }
    return Packet{frame.type, Bytes(frame.payload.begin(), frame.payload.end())};
}

std::optional<Packet> ProtocolClient::receive(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto packet = takePacket()) return packet;
        if (Clock::now() >= deadline || !fill(deadline)) return takePacket();
    }
}

std::vector<Packet> ProtocolClient::receiveFor(std::chrono::milliseconds window) {
    std::vector<Packet> packets;
    const auto deadline = Clock::now() + window;
    while (auto packet = receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())))
        packets.push_back(*packet);
    return packets;
}

bool ProtocolClient::waitClosedByPeer(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return false;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline)
        if (!fill(deadline)) return true;
    return false;
}

std::vector<std::string> entries(const Packet& packet, const std::string& format) {
    Reply reply(packet);
    std::vector<std::string> lines;
    const int count = reply.i32();
    for (int i = 0; i < count && !reply.atEnd(); ++i) {
        std::string line;
        for (char field : format) {
            if (!line.empty()) line += ' ';
            if (field == 'i') line += std::to_string(reply.i32());
            else if (field == 's') line += reply.str();
            else {
                char text[32];
                std::snprintf(text, sizeof(text), "%g", reply.f32());
                line += text;
            }
        }
        lines.push_back(line);
    }
    EXPECT_TRUE(reply.atEnd()) << "type " << packet.type << ": " << hex(packet.payload);
    return lines;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof(digits), i ? " %02X" : "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

} // namespace testsupport

namespace testsupport {

using namespace std::chrono_literals;

void ProtocolEngineTest::SetUp() {
    ASSERT_FALSE(pulseServer().empty()) << missingPulseServerMessage();
    engine = startEngine();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(client.connect()) << engine->out();
    ASSERT_TRUE(engine->waitFor("Client connected", 5s));
}

void ProtocolEngineTest::TearDown() {
    client.close();
    if (engine && engine->alive()) {
        engine->send("exit");
        engine->waitExit(5s);
    }
}

std::unique_ptr<EngineProcess> ProtocolEngineTest::startEngine() {
    // The engine must meet a client that has gone with the default SIGPIPE disposition, as it does
    // when started from a shell; EngineProcess ignores the signal in this process, and children
    // would inherit that.
    std::signal(SIGPIPE, SIG_DFL);
    auto started = std::make_unique<EngineProcess>(binary, dir.path().string());
    const bool up = started->waitFor(std::string("Unix socket started at: ") + ProtocolClient::kPath, 20s) &&
                    started->waitFor("> ", 10s);
    EXPECT_TRUE(up) << started->out() << started->err();
    return up ? std::move(started) : nullptr;
}

int ProtocolEngineTest::receipts() const {
    return engine ? engine->count("Socket received packet with size: ") : 0;
}

void ProtocolEngineTest::deliver(const Bytes& bytes, ProtocolClient* via, int reads) {
    const int before = receipts();
    ASSERT_TRUE((via ? via : &client)->sendBytes(bytes));
    ASSERT_TRUE(engine->waitFor("Socket received packet with size: ", 10s, before + reads))
        << "the engine did not read " << hex(bytes);
}

std::vector<Packet> ProtocolEngineTest::exchange(std::uint16_t type, const Request& request) {
    return exchangeBytes(request.packet(type));
}

std::vector<Packet> ProtocolEngineTest::exchangeBytes(const Bytes& bytes) {
    std::vector<Packet> packets;
    deliver(bytes);
    deliver(Request().i32(0).i32(0).packet(9));
    for (;;) {
        auto packet = client.receive(10s);
        if (!packet) {
            ADD_FAILURE() << "no answer to the marker after " << hex(bytes);
            return packets;
        }
        if (packet->type == 9 && packet->payload.empty()) return packets;
        packets.push_back(*packet);
    }
}

std::vector<Device> ProtocolEngineTest::devices(std::uint16_t type) {
    std::vector<Device> found;
    const auto packets = exchange(type);
    if (packets.size() != 1 || packets[0].type != type) {
        ADD_FAILURE() << "expected one device list of type " << type;
        return found;
    }
    Reply reply(packets[0]);
    const int count = reply.i32();
    for (int i = 0; i < count && !reply.atEnd(); ++i) {
        Device device;
        device.id = reply.i32();
        device.name = reply.str();
        device.channels = reply.i32();
        found.push_back(device);
    }
    EXPECT_TRUE(reply.atEnd()) << hex(packets[0].payload);
    return found;
}

int ProtocolEngineTest::deviceId(std::uint16_t type, const std::string& name) {
    // A device just loaded is listed once the server's announcement of it has been handled.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    do {
        for (const auto& device : devices(type))
            if (device.name == name) return device.id;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    ADD_FAILURE() << "no device " << name << " in list " << type;
    return 0;
}

} // namespace testsupport
