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

FaderEntry decodeFader(const Frame& frame) {
    FaderEntry fader;
    ReplyReader reader(frame.payload);
    if (!reader.readValues(fader.streamId, fader.volume) || !reader.atEnd()) malformed(frame);
    return fader;
}

int decodeDisconnect(const Frame& frame) {
    int device = 0, unused = 0;
    ReplyReader reader(frame.payload);
    if (!reader.readValues(device, unused) || !reader.atEnd()) malformed(frame);
    return device;
}

} // namespace Ctl
