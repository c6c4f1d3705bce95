#include "ipc/SocketUtils.hpp"

#include "ipc/Outbox.hpp"

#include <cerrno>
#include <cstring>
#include <mutex>

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

std::vector<char> frameHeader(std::int32_t payloadSize, std::uint16_t type) {
    std::vector<char> header;
    serializeValues(header, static_cast<int>(payloadSize), static_cast<short>(type));
    return header;
}

std::vector<char> framePacket(EPacketType type, const std::vector<char>& payload) {
    std::vector<char> packet = frameHeader(static_cast<std::int32_t>(payload.size()), static_cast<std::uint16_t>(type));
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

namespace {

std::mutex attachedMutex;
Outbox* attached = nullptr;

} // namespace

void attachOutbox(Outbox* outbox) {
    std::lock_guard<std::mutex> guard(attachedMutex);
    attached = outbox;
}

void detachOutbox(Outbox* outbox) {
    std::lock_guard<std::mutex> guard(attachedMutex);
    if (attached == outbox) attached = nullptr;
}

void sendPacket(int clientSocket, EPacketType type, const std::vector<char>& payload) {
    if (clientSocket < 0 && clientSocket != Outbox::kEveryClient) return;
    const std::vector<char> packet = framePacket(type, payload);
    std::lock_guard<std::mutex> guard(attachedMutex);
    if (attached) attached->post(clientSocket, packet);
}

} // namespace IPC::SocketUtils
