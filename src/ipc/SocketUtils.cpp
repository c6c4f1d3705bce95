#include "ipc/SocketUtils.hpp"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

int* clientSocketInstance = nullptr;

namespace IPC::SocketUtils {

namespace {

template <typename T>
void appendBytes(std::vector<char>& out, const T& value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

} // namespace

void serializeValue(std::vector<char>& out, int value) { appendBytes(out, static_cast<std::int32_t>(value)); }
void serializeValue(std::vector<char>& out, short value) { appendBytes(out, static_cast<std::int16_t>(value)); }
void serializeValue(std::vector<char>& out, float value) { appendBytes(out, value); }
void serializeValue(std::vector<char>& out, std::uint64_t value) { appendBytes(out, value); }

void serializeValue(std::vector<char>& out, const std::string& value) {
    serializeValue(out, static_cast<std::uint64_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

std::vector<char> framePacket(EPacketType type, const std::vector<char>& payload) {
    std::vector<char> packet;
    serializeValues(packet, static_cast<int>(payload.size()), static_cast<short>(type));
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

bool ReplyReader::take(void* into, std::size_t size) {
    if (!_good || size > _payload.size() - _position) return _good = false;
    std::memcpy(into, _payload.data() + _position, size);
    _position += size;
    return true;
}

bool ReplyReader::read(int& value) {
    std::int32_t raw = 0;
    if (!take(&raw, sizeof(raw))) return false;
    value = raw;
    return true;
}

bool ReplyReader::read(float& value) { return take(&value, sizeof(value)); }

bool ReplyReader::read(std::string& value) {
    std::uint64_t length = 0;
    if (!take(&length, sizeof(length))) return false;
    if (length > _payload.size() - _position) return _good = false;
    value.assign(_payload.data() + _position, static_cast<std::size_t>(length));
    _position += static_cast<std::size_t>(length);
    return true;
}

std::mutex& connectionMutex() {
    static std::mutex mutex;
    return mutex;
}

void sendPacket(int clientSocket, EPacketType type, const std::vector<char>& payload) {
    const std::vector<char> packet = framePacket(type, payload);

    std::lock_guard<std::mutex> guard(connectionMutex());
    if (clientSocket < 0 || !clientSocketInstance || *clientSocketInstance != clientSocket) return;
    std::size_t sent = 0;
    while (sent < packet.size()) {
        const ssize_t n = ::send(clientSocket, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // Gone, or not reading: the listener sees the end of the connection and serves the next.
            ::shutdown(clientSocket, SHUT_RDWR);
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

} // namespace IPC::SocketUtils
