#include "ctl/Replies.hpp"

#include "ctl/Failure.hpp"
#include "ipc/SocketUtils.hpp"

namespace Ctl {

namespace {

using IPC::SocketUtils::ReplyReader;

[[noreturn]] void malformed(const Frame& frame) {
    throw Failure(kNoReply, "malformed reply of type " + std::to_string(frame.type) + " (" +
                                std::to_string(frame.payload.size()) + " bytes)");
}

// Reads the count, then one entry per `readEntry` call; the payload must end with the last one.
template <class Entry, class ReadEntry>
std::vector<Entry> decodeList(const Frame& frame, ReadEntry readEntry) {
    std::vector<Entry> entries;
    if (frame.payload.empty()) return entries;
    ReplyReader reader(frame.payload);
    int count = 0;
    // Each entry takes at least 4 bytes, so a count beyond that cannot be honest.
    if (!reader.read(count) || count < 0 || static_cast<std::size_t>(count) > frame.payload.size() / 4)
        malformed(frame);
    for (int i = 0; i < count; ++i) {
        Entry entry;
        if (!readEntry(reader, entry)) malformed(frame);
        entries.push_back(std::move(entry));
    }
    if (!reader.atEnd()) malformed(frame);
    return entries;
}

} // namespace

std::vector<DeviceEntry> decodeDevices(const Frame& frame) {
    return decodeList<DeviceEntry>(
        frame, [](ReplyReader& r, DeviceEntry& e) { return r.readValues(e.id, e.name, e.channels); });
}

std::vector<StreamEntry> decodeStreams(const Frame& frame) {
    return decodeList<StreamEntry>(frame, [](ReplyReader& r, StreamEntry& e) {
        return r.readValues(e.id, e.inputDevice, e.outputDevice, e.sampleRate, e.bufferFrames, e.name);
    });
}

std::vector<EffectEntry> decodeEffects(const Frame& frame) {
    return decodeList<EffectEntry>(frame, [](ReplyReader& r, EffectEntry& e) {
        int enabled = 0;
        const bool read = r.readValues(e.streamId, e.name, enabled);
        e.enabled = enabled != 0;
        return read;
    });
}

std::vector<EffectEntry> decodeAddableEffects(const Frame& frame) {
    return decodeList<EffectEntry>(
        frame, [](ReplyReader& r, EffectEntry& e) { return r.readValues(e.streamId, e.name); });
}

std::vector<ParameterEntry> decodeParameters(const Frame& frame) {
    return decodeList<ParameterEntry>(frame, [](ReplyReader& r, ParameterEntry& e) {
        return r.readValues(e.streamId, e.effect, e.name, e.value, e.min, e.max);
    });
}

std::vector<int> decodeRates(const Frame& frame) {
    return decodeList<int>(frame, [](ReplyReader& r, int& rate) {
        int unused = 0;
        return r.readValues(rate, unused);
    });
}

namespace {

// A count, then that many entries read by `read`; a count the payload cannot hold is refused.
template <class Read>
bool readCounted(ReplyReader& reader, std::size_t payloadSize, Read read) {
    int count = 0;
    if (!reader.read(count) || count < 0 || static_cast<std::size_t>(count) > payloadSize / 4) return false;
    for (int i = 0; i < count; ++i)
        if (!read()) return false;
    return true;
}

} // namespace

std::vector<StreamStateEntry> decodeStreamStates(const Frame& frame) {
    return decodeList<StreamStateEntry>(frame, [&](ReplyReader& r, StreamStateEntry& e) {
        auto& s = e.stream;
        int running = 0;
        if (!r.readValues(s.id, s.inputDevice, s.outputDevice, s.sampleRate, s.bufferFrames, s.name, running,
                          e.inputChannels, e.outputChannels, e.groupId, s.volume))
            return false;
        e.running = running != 0;
        return readCounted(r, frame.payload.size(), [&] {
            std::pair<int, int> route;
            if (!r.readValues(route.first, route.second)) return false;
            e.routes.push_back(route);
            return true;
        });
    });
}

std::vector<GroupEntry> decodeGroups(const Frame& frame) {
    return decodeList<GroupEntry>(frame, [&](ReplyReader& r, GroupEntry& e) {
        int level = 0, ratio = 0;
        if (!r.readValues(e.id, e.red, e.green, e.blue, level, ratio)) return false;
        e.volumeLevel = level != 0;
        e.volumeRatio = ratio != 0;
        return readCounted(r, frame.payload.size(),
                           [&] { return r.read(e.effects.emplace_back()); }) &&
               readCounted(r, frame.payload.size(), [&] { return r.read(e.members.emplace_back()); });
    });
}

FaderEntry decodeFader(const Frame& frame) {
    FaderEntry fader;
    ReplyReader reader(frame.payload);
    if (!reader.readValues(fader.streamId, fader.volume) || !reader.atEnd()) malformed(frame);
    return fader;
}

CommandOutcome decodeCommandOutcome(const Frame& frame) {
    CommandOutcome outcome;
    int status = 0;
    ReplyReader reader(frame.payload);
    if (!reader.readValues(outcome.id, status, outcome.reason) || !reader.atEnd()) malformed(frame);
    outcome.done = status == 0;
    return outcome;
}

int decodeDisconnect(const Frame& frame) {
    int device = 0, unused = 0;
    ReplyReader reader(frame.payload);
    if (!reader.readValues(device, unused) || !reader.atEnd()) malformed(frame);
    return device;
}

} // namespace Ctl
