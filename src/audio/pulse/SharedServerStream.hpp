#pragma once

// One server stream on a device, shared by every engine stream that uses the device in one format
// (see SharedPlayback and SharedRecord). Its members are changed under the connection's lock and
// read on the connection's thread, which holds that lock while it runs the stream's callbacks.

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>
#include <vector>

namespace audio::detail {

class PulseStream;

// What must match for two engine streams to share a device's server stream.
struct SharedFormat {
    std::string deviceName; // the server's name of the device
    std::string label;      // what the user reads: the device's description
    pa_channel_map map{};
    unsigned int channels{0};
    unsigned int rate{0};
    unsigned int periodFrames{0};
    unsigned int periodsAhead{0}; // playback only

    bool sameAs(const SharedFormat& other) const {
        return deviceName == other.deviceName && pa_channel_map_equal(&map, &other.map) &&
               channels == other.channels && rate == other.rate && periodFrames == other.periodFrames &&
               periodsAhead == other.periodsAhead;
    }
};

class SharedServerStream {
public:
    virtual ~SharedServerStream();
    SharedServerStream(const SharedServerStream&) = delete;
    SharedServerStream& operator=(const SharedServerStream&) = delete;

    const SharedFormat& format() const { return format_; }
    // Whether a new member may join it: it has not failed and belongs to this connection.
    bool usable(pa_context* context) const { return !failed_ && context_ == context; }
    bool ready() const { return pa_stream_get_state(stream_) == PA_STREAM_READY; }

protected:
    SharedServerStream(pa_context* context, pa_stream* stream, SharedFormat format);

    // The one with this format if one is open and usable, else a new one from `open` (null when
    // the server refused it; `whyNot` says why).
    template <typename Shared, typename Open>
    static std::shared_ptr<Shared> findOrOpen(std::vector<std::weak_ptr<Shared>>& known, pa_context* context,
                                              const SharedFormat& format, Open&& open) {
        std::erase_if(known, [](const std::weak_ptr<Shared>& entry) { return entry.expired(); });
        for (const auto& entry : known)
            if (auto shared = entry.lock(); shared && shared->usable(context) && shared->format().sameAs(format))
                return shared;
        std::shared_ptr<Shared> opened = open();
        if (opened) known.push_back(opened);
        return opened;
    }

    void addMember(PulseStream& member);
    void removeMember(PulseStream& member);

    pa_context* const context_;
    pa_stream* const stream_;
    const SharedFormat format_;
    std::vector<PulseStream*> members_;

private:
    static void onState(pa_stream* stream, void* self);
    bool failed_{false};
};

} // namespace audio::detail
