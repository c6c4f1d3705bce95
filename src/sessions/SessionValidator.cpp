// The shape a session document must have before a load may clear the engine. Every check mirrors
// a read of the rebuild; numbers must also fit the type they are converted to, since an
// out-of-range conversion would silently wrap (ids) or be undefined (floats).

#include "sessions/SessionValidator.hpp"

#include "effects/ParameterRange.hpp"
#include "engine/Stream.hpp"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>

using nlohmann::json;

namespace {

bool isUnsigned32(const json& value) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() <= std::numeric_limits<std::uint32_t>::max();
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        return number >= 0 && number <= std::numeric_limits<std::uint32_t>::max();
    }
    return false;
}

bool isSigned32(const json& value) {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() <= std::numeric_limits<std::int32_t>::max();
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        return number >= std::numeric_limits<std::int32_t>::min() && number <= std::numeric_limits<std::int32_t>::max();
    }
    return false;
}

bool isFloat(const json& value) {
    if (!value.is_number()) return false;
    const double number = value.get<double>();
    return std::isfinite(number) && std::fabs(number) <= std::numeric_limits<float>::max();
}

template <class Check>
bool has(const json& object, const char* key, Check check) {
    const auto found = object.find(key);
    return found != object.end() && check(*found);
}

bool isBool(const json& value) { return value.is_boolean(); }
// Names end up in replies and log lines: a huge one would make every stream list huge.
bool isName(const json& value) {
    return value.is_string() && value.get_ref<const std::string&>().size() <= Stream::kMaxNameBytes;
}

// A value a load will set: a float inside the range the parameter advertises, when it has one.
bool isSettable(const json& value, const std::optional<ParameterRange>& range) {
    return isFloat(value) && (!range || range->contains(value.get<float>()));
}

bool hasUnsigned(const json& object, std::initializer_list<const char*> keys) {
    for (const char* key : keys)
        if (!has(object, key, isUnsigned32)) return false;
    return true;
}

bool isStreamParameters(const json& value) {
    return value.is_object() && hasUnsigned(value, {"deviceId", "nChannels", "firstChannel"});
}

bool isOptions(const json& value) {
    return value.is_object() && hasUnsigned(value, {"flags", "numberOfBuffers"}) &&
           has(value, "streamName", isName) && has(value, "priority", isSigned32);
}

// Null entries are removed filters; the others need a type name, an id and numeric parameters.
bool isFilter(const json& value) {
    if (value.is_null()) return true;
    if (!value.is_object() || !has(value, "name", isName) || !has(value, "id", isUnsigned32)) return false;
    const auto& type = value.at("name").get_ref<const std::string&>();
    for (const auto& [key, parameter] : value.items())
        if (key != "name" && key != "id" && !isSettable(parameter, filterParameterRange(type, key))) return false;
    return true;
}

bool isEffect(const json& value) {
    if (!value.is_object() || !has(value, "name", isName) || !has(value, "enable", isBool)) return false;
    const auto& name = value.at("name").get_ref<const std::string&>();
    if (name == "EQEffect") {
        return has(value, "filters", [](const json& filters) {
            if (filters.is_null()) return true;
            if (!filters.is_array()) return false;
            for (const auto& filter : filters)
                if (!isFilter(filter)) return false;
            return true;
        });
    }
    const auto range = effectParameterRange(name);
    return has(value, "parameters", [&](const json& parameters) {
        if (parameters.is_null()) return true;
        if (!parameters.is_object()) return false;
        for (const auto& parameter : parameters)
            if (!isSettable(parameter, range)) return false;
        return true;
    });
}

// Null counts as an empty list wherever a list may be empty.
template <class Check>
bool isListOf(const json& value, Check check) {
    if (value.is_null()) return true;
    if (!value.is_array()) return false;
    for (const auto& element : value)
        if (!check(element)) return false;
    return true;
}

bool isOptionalString(const json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_string();
}

bool isStream(const json& value) {
    return value.is_object() &&
           hasUnsigned(value, {"streamId", "inputDeviceId", "outputDeviceId", "nChannelsInput", "nChannelsOutput",
                               "sampleRate", "bufferFrames"}) &&
           has(value, "inputParameters", isStreamParameters) && has(value, "outputParameters", isStreamParameters) &&
           has(value, "options", isOptions) && has(value, "isStarted", isBool) &&
           has(value, "effects", [](const json& effects) { return isListOf(effects, isEffect); }) &&
           isOptionalString(value, "inputDeviceName") && isOptionalString(value, "outputDeviceName");
}

} // namespace

bool isLoadableStreamGroups(const nlohmann::json& groups) {
    const auto isComponent = [](const json& value) { return isUnsigned32(value) && value.get<std::uint32_t>() <= 255; };
    const auto isGroup = [&](const json& value) {
        return value.is_object() && hasUnsigned(value, {"groupId"}) &&
               has(value, "color", [&](const json& color) {
                   return color.is_array() && color.size() == 3 && isListOf(color, isComponent);
               }) &&
               has(value, "volumeLevel", isBool) && has(value, "volumeRatio", isBool) &&
               has(value, "effects", [](const json& names) { return names.is_array() && isListOf(names, isName); }) &&
               has(value, "members", [](const json& ids) { return ids.is_array() && isListOf(ids, isUnsigned32); });
    };
    return isListOf(groups, isGroup);
}

namespace {

// The place of the first element of a list that `check` refuses, or nothing.
template <class Check>
std::optional<std::size_t> firstRefused(const json& list, Check check) {
    if (!list.is_array()) return list.is_null() ? std::nullopt : std::optional<std::size_t>(0);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (!check(list[i])) return i;
    return std::nullopt;
}

std::string named(const json& entry, const char* key) {
    const auto found = entry.is_object() ? entry.find(key) : entry.end();
    return found != entry.end() && found->is_string() ? " (" + found->get<std::string>() + ")" : "";
}

} // namespace

std::string sessionRefusal(const nlohmann::json& document) {
    // What a save writes: the header, the streams, the master chain and, when there are groups, the
    // groups. A shorter array (`[[[]]]`) would otherwise load as an empty session and wipe the set-up.
    if (!document.is_array() || document.size() < 3 || document.size() > 4 || !document[0].is_object())
        return "not a header, the streams and the master chain";
    if (const auto bad = firstRefused(document[1], isStream)) {
        std::string where = "stream entry " + std::to_string(*bad);
        if (document[1].is_array() && document[1][*bad].is_object()) {
            const auto& effects = document[1][*bad].value("effects", json());
            if (const auto effect = firstRefused(effects, isEffect))
                where += ", effect" + (effects.is_array() ? named(effects[*effect], "name") : std::string());
        }
        return where + ": a field missing, of the wrong type or out of range";
    }
    if (const auto bad = firstRefused(document[2], isEffect))
        return "master effect entry " + std::to_string(*bad) +
               (document[2].is_array() ? named(document[2][*bad], "name") : std::string()) +
               ": a field missing, of the wrong type or out of range";
    if (document.size() == 4 && !isLoadableStreamGroups(document[3]))
        return "the stream groups: a field missing, of the wrong type or out of range";
    return {};
}

bool isLoadableSession(const nlohmann::json& document) { return sessionRefusal(document).empty(); }
