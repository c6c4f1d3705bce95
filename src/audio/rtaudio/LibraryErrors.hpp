#pragma once

// Routing the library's errors: it throws on control threads and reports through one global hook
// without user data on its own threads. Calls are wrapped so each error reaches the instance it
// belongs to, as a returned code or through the instance's error callback.

#include "audio/rtaudio/LibraryState.hpp"

#include <functional>

namespace audio::detail {

// The outcome of a library call: its code and the messages still to hand to the error callback.
struct Outcome {
    Fault code{Fault::None};
    std::vector<Message> messages;

    void fail(Fault type, std::string text) {
        if (code == Fault::None || (code == Fault::Warning && type != Fault::Warning)) code = type;
        messages.push_back({type, std::move(text)});
    }
    // Something failed, beyond a warning.
    bool failed() const { return code != Fault::None && code != Fault::Warning; }
};

// Runs a library call on a control thread and collects what it threw or reported.
Outcome callLibrary(const std::function<void()>& call);
// Hands an outcome's messages to the instance's callback and returns its code.
Fault finish(const InstanceState& state, Outcome&& outcome);
// The present devices with their stable ids; failures go to the instance's callback.
std::vector<struct DeviceEntry> enumerateFor(const InstanceState& state);

// Stops a stream whose audio thread reported `first`, from the device watch's thread: the library
// would otherwise go on calling a dead connection and failing as fast as it can. Hands `first`,
// then one line for the errors counted after it, to the instance's callback.
void haltAfterAudioErrors(InstanceState& state, const Message& first);

// The hook the library reports through, and the callback it runs each period.
void libraryErrorHook(::RtAudioError::Type type, const std::string& text);
int audioTrampoline(void* outputBuffer, void* inputBuffer, unsigned int nFrames, double streamTime,
                    ::RtAudioStreamStatus status, void* userData);

} // namespace audio::detail
