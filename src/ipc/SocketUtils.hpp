#pragma once

#include "ipc/EPacketType.hpp"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Reply encoding and the one way bytes reach the front end. Numbers go out in host byte order;
// a reply string is an 8-byte length followed by its bytes.
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

// Header (payload size, type) and payload in one write to the client. Writes to the client are
// serialised by connectionMutex(), so a notification from another thread never splits a reply.
// Nothing is written unless `clientSocket` is the connection open right now (the descriptor that
// clientSocketInstance points at): a stale or absent descriptor (-1) goes nowhere. A client that
// has gone away costs a failed write, never a signal; a write that fails or times out part-way
// shuts the connection down, since the stream can no longer be framed.
void sendPacket(int clientSocket, EPacketType type, const std::vector<char>& payload);

// Guards the connection's descriptor and every write to it.
std::mutex& connectionMutex();

} // namespace IPC::SocketUtils

// The descriptor of the connected front end (-1 between clients), owned by the socket server and
// written under SocketUtils::connectionMutex(). Null until the first client connects.
extern int* clientSocketInstance;
