#pragma once

#include "ipc/EPacketType.hpp"

#include <cstdint>
#include <string>
#include <vector>

// Reply encoding and the one way bytes reach the front end. Numbers go out in host byte order;
// a reply string is an 8-byte length followed by its bytes.
namespace IPC {
class Outbox;
}

namespace IPC::SocketUtils {

void serializeValue(std::vector<char>& out, int value);
void serializeValue(std::vector<char>& out, short value);
void serializeValue(std::vector<char>& out, float value);
void serializeValue(std::vector<char>& out, std::uint64_t value);
void serializeValue(std::vector<char>& out, const std::string& value);

template <typename... Values>
void serializeValues(std::vector<char>& out, const Values&... values) {
    (serializeValue(out, values), ...);
}

// Header (payload size, type) followed by the payload: one packet as it goes on the wire.
std::vector<char> framePacket(EPacketType type, const std::vector<char>& payload);
// The 6-byte header alone, announcing whatever size it is given (tests send dishonest ones).
std::vector<char> frameHeader(std::int32_t payloadSize, std::uint16_t type);

// Reads reply fields in the layout serializeValue writes. A read that the payload is too short for
// fails, leaves the value as it was, and makes every later read fail too.
class ReplyReader {
public:
    explicit ReplyReader(const std::vector<char>& payload) : _payload(payload) {}
    bool read(int& value);
    bool read(float& value);
    bool read(std::string& value);
    template <typename... Values>
    bool readValues(Values&... values) {
        return (read(values) && ...);
    }
    bool atEnd() const { return _good && _position == _payload.size(); }

private:
    bool take(void* into, std::size_t size);

    const std::vector<char>& _payload;
    std::size_t _position{0};
    bool _good{true};
};

// The one way bytes reach the front ends: header (payload size, type) and payload, as one whole
// packet, posted to the outbox of the socket that serves, for the connection `clientSocket` (or
// Outbox::kEveryClient). Nothing is sent here: the socket's thread writes it. A descriptor that is
// not an open connection of that socket (-1, or a number another file now holds) gets nothing.
void sendPacket(int clientSocket, EPacketType type, const std::vector<char>& payload);

// The socket that serves registers its outbox for as long as it lives.
void attachOutbox(Outbox* outbox);
void detachOutbox(Outbox* outbox);

} // namespace IPC::SocketUtils
