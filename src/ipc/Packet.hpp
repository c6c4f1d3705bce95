#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace IPC {

// One request's fields, decoded in order from a payload (and encoded, for a client, in the same layout). A field the payload is too short for keeps
// its initial value (0, 0.0, empty); extra bytes after the last field are ignored. A request string
// is a 4-byte length then its bytes; a length that is negative or runs past the payload gives an
// empty string, and the next field is read from just after the length.
template <typename... Fields>
class Packet {
public:
    void deserialize(const std::vector<char>& payload) {
        std::size_t position = 0;
        deserializeImpl(payload, position, std::index_sequence_for<Fields...>{});
    }

    // The request payload a client sends for these fields.
    static std::vector<char> serialize(const Fields&... fields) {
        std::vector<char> payload;
        (serializeSingle(payload, fields), ...);
        return payload;
    }

    std::tuple<Fields...>& getData() { return data; }
    const std::tuple<Fields...>& getData() const { return data; }

private:
    template <std::size_t... Index>
    void deserializeImpl(const std::vector<char>& payload, std::size_t& position, std::index_sequence<Index...>) {
        (deserializeSingle(payload, position, std::get<Index>(data)), ...);
    }

    template <typename Scalar>
    static void readScalar(const std::vector<char>& payload, std::size_t& position, Scalar& value) {
        static_assert(sizeof(Scalar) == 4);
        if (position + 4 > payload.size()) return;
        std::memcpy(&value, payload.data() + position, 4);
        position += 4;
    }

    static void deserializeSingle(const std::vector<char>& payload, std::size_t& position, int& value) {
        readScalar(payload, position, value);
    }

    static void deserializeSingle(const std::vector<char>& payload, std::size_t& position, float& value) {
        readScalar(payload, position, value);
    }

    static void deserializeSingle(const std::vector<char>& payload, std::size_t& position, std::string& value) {
        std::int32_t length = 0;
        if (position + 4 > payload.size()) return;
        std::memcpy(&length, payload.data() + position, 4);
        position += 4;
        if (length < 0 || static_cast<std::size_t>(length) > payload.size() - position) return;
        value.assign(payload.data() + position, static_cast<std::size_t>(length));
        position += static_cast<std::size_t>(length);
    }

    template <typename Scalar>
    static void writeScalar(std::vector<char>& payload, Scalar value) {
        static_assert(sizeof(Scalar) == 4);
        const char* bytes = reinterpret_cast<const char*>(&value);
        payload.insert(payload.end(), bytes, bytes + 4);
    }

    static void serializeSingle(std::vector<char>& payload, int value) { writeScalar(payload, value); }
    static void serializeSingle(std::vector<char>& payload, float value) { writeScalar(payload, value); }
    static void serializeSingle(std::vector<char>& payload, const std::string& value) {
        writeScalar(payload, static_cast<std::int32_t>(value.size()));
        payload.insert(payload.end(), value.begin(), value.end());
    }

    std::tuple<Fields...> data{};
};

} // namespace IPC
