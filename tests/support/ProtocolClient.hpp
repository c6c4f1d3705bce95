#pragma once

// A front end's side of the engine's socket protocol, for end-to-end tests: builds requests (4-byte
// string lengths), sends raw bytes, and reads reply packets (8-byte string lengths) with deadlines,
// all through the engine's own codec.

#include "EngineProcess.hpp"
#include "TempDir.hpp"

#include "ipc/PacketFramer.hpp"
#include "ipc/SocketUtils.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

// A request payload, field by field, in host byte order.
class Request {
public:
    Request& i32(std::int32_t value);
    Request& f32(float value);
    Request& str(const std::string& value); // 4-byte length, then the bytes
    Request& raw(const Bytes& bytes);
    const Bytes& payload() const { return bytes_; }
    // Header (payload size, type) and payload.
    Bytes packet(std::uint16_t type) const;

private:
    Bytes bytes_;
};

// A header announcing `size` followed by `payload` as it is, whatever its length.
Bytes rawPacket(std::int32_t size, std::uint16_t type, const Bytes& payload);

// Far more replies than a connection's buffers hold, for a client that asks and never reads: the
// master volume's parameter list, asked for `requests` times in one write (8000 by default).
Bytes requestFlood(int requests = 8000);

struct Packet {
    std::uint16_t type{0};
    Bytes payload;
    Bytes wire() const; // header and payload, as they came
};

// Reads reply fields in order; reading past the end fails the current test and yields zeros.
class Reply {
public:
    explicit Reply(const Packet& packet);
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    std::int32_t i32();
    float f32();
    std::string str(); // 8-byte length, then the bytes
    bool atEnd() const { return reader_.atEnd(); }

private:
    template <typename Value>
    Value read(Value value);
    std::vector<char> bytes_;
    IPC::SocketUtils::ReplyReader reader_;
    bool failed_{false};
};

class ProtocolClient {
public:
    static constexpr const char* kPath = "/tmp/vantrell_sock";

    ProtocolClient() = default;
    ~ProtocolClient();
    ProtocolClient(const ProtocolClient&) = delete;
    ProtocolClient& operator=(const ProtocolClient&) = delete;

    // Connects, retrying until the deadline while nobody listens yet.
    bool connect(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void close();
    // Stops reading: from then on the engine's writes to this connection fail (broken pipe).
    void stopReceiving();
    bool connected() const { return fd_ >= 0; }

    bool sendBytes(const Bytes& bytes);
    bool send(std::uint16_t type, const Request& request = Request()) { return sendBytes(request.packet(type)); }

    // The next whole packet, or nothing when none is complete by the deadline.
    std::optional<Packet> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Every whole packet that arrives within `window`.
    std::vector<Packet> receiveFor(std::chrono::milliseconds window);
    // True once the engine has ended the connection (end of stream) within the deadline.
    bool waitClosedByPeer(std::chrono::milliseconds timeout);

private:
    // Reads what is available into the inbox until the deadline; false on end of stream or error.
    bool fill(std::chrono::steady_clock::time_point deadline);
    std::optional<Packet> takePacket();

    int fd_{-1};
    IPC::PacketFramer inbox_;
};

// Bytes as "00 0E ..." for readable failure messages.
std::string hex(const Bytes& bytes);

// A list reply (a count, then that many entries) as one line per entry: the fields of `format`
// ('i' int, 'f' float, 's' string) written with single blanks between them, for example
// "0 VolumeEffect 1". Fails the current test when the payload does not hold exactly that.
std::vector<std::string> entries(const Packet& packet, const std::string& format);

struct Device {
    int id{0};
    std::string name;
    int channels{0};
};

// The real binary on the private PulseAudio with a protocol client connected. Every send waits
// until the engine has read it, so two sends never reach the engine in one read by accident.
class ProtocolEngineTest : public ::testing::Test {
protected:
    explicit ProtocolEngineTest(std::string binary) : binary(std::move(binary)) {}

    void SetUp() override;
    void TearDown() override;

    // Starts an engine and waits until its socket and console are up.
    std::unique_ptr<EngineProcess> startEngine();
    // Reads the engine has taken from its clients so far.
    int receipts() const;
    // Sends bytes (on `via`, default the fixture's client) and waits for `reads` more reads.
    void deliver(const Bytes& bytes, ProtocolClient* via = nullptr, int reads = 1);
    // Sends one request and returns every packet it produced: a marker request (sample rates of
    // device 0, answered by an empty type-9 packet) follows it, and what arrives before the
    // marker's answer belongs to the request. Not for requests that may themselves get that answer.
    std::vector<Packet> exchange(std::uint16_t type, const Request& request = Request());
    std::vector<Packet> exchangeBytes(const Bytes& bytes);
    std::vector<Device> devices(std::uint16_t type);
    int deviceId(std::uint16_t type, const std::string& name);

    const std::string binary;
    TempDir dir;
    std::unique_ptr<EngineProcess> engine;
    ProtocolClient client;
};

} // namespace testsupport
