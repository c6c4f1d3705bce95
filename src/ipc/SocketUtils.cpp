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

std::mutex& connectionMutex() {
    static std::mutex mutex;
    return mutex;
}

void sendPacket(int clientSocket, EPacketType type, const std::vector<char>& payload) {
    std::vector<char> packet;
    serializeValues(packet, static_cast<int>(payload.size()), static_cast<short>(type));
    packet.insert(packet.end(), payload.begin(), payload.end());

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
