#include "audio/rtaudio/LibraryErrors.hpp"

#include "audio/rtaudio/DeviceWatch.hpp"
#include "audio/rtaudio/PulseEvents.hpp"
#include "audio/rtaudio/StableDeviceIds.hpp"

namespace audio::detail {

namespace {

// Set around a library call made on a control thread: errors raised inside it belong to that call.
struct Capture {
    std::vector<std::pair<RtAudioError::Type, std::string>> errors;
};
thread_local Capture* tlCapture = nullptr;
// Set on a library audio thread by the callback trampoline: errors raised there belong to it.
thread_local InstanceState* tlAudioState = nullptr;

} // namespace

RtAudioErrorType toErrorType(::RtAudioError::Type type) {
    switch (type) {
    case RtAudioError::WARNING:
    case RtAudioError::DEBUG_WARNING: return RTAUDIO_WARNING;
    case RtAudioError::UNSPECIFIED: return RTAUDIO_UNKNOWN_ERROR;
    case RtAudioError::NO_DEVICES_FOUND: return RTAUDIO_NO_DEVICES_FOUND;
    case RtAudioError::INVALID_DEVICE: return RTAUDIO_INVALID_DEVICE;
    case RtAudioError::MEMORY_ERROR: return RTAUDIO_MEMORY_ERROR;
    case RtAudioError::INVALID_PARAMETER: return RTAUDIO_INVALID_PARAMETER;
    case RtAudioError::INVALID_USE: return RTAUDIO_INVALID_USE;
    case RtAudioError::DRIVER_ERROR: return RTAUDIO_DRIVER_ERROR;
    case RtAudioError::SYSTEM_ERROR: return RTAUDIO_SYSTEM_ERROR;
    case RtAudioError::THREAD_ERROR: return RTAUDIO_THREAD_ERROR;
    }
    return RTAUDIO_UNKNOWN_ERROR;
}

// The library's error callback. It has no user data, so the thread tells whose error it is.
void libraryErrorHook(RtAudioError::Type type, const std::string& text) {
    if (tlCapture) {
        tlCapture->errors.emplace_back(type, text);
        return;
    }
    if (tlAudioState) {
        // Never call out from the audio thread: the worker delivers the first error, stops the
        // stream and looks for lost devices; the errors after it are only counted.
        if (tlAudioState->audioErrors.fetch_add(1) == 0)
            deviceWatch().post(tlAudioState->weak_from_this(), {toErrorType(type), text}, true);
        return;
    }
    // A library thread that has not run a period yet; it can only matter as a lost device.
    deviceWatch().requestSweep();
}

int audioTrampoline(void* outputBuffer, void* inputBuffer, unsigned int nFrames, double streamTime,
                    RtAudioStreamStatus status, void* userData) {
    auto* state = static_cast<InstanceState*>(userData);
    tlAudioState = state; // stays set: the library reports write/read errors after we return
    return state->userCallback(outputBuffer, inputBuffer, nFrames, streamTime,
                               static_cast<audio::RtAudioStreamStatus>(status), state->userData);
}

Outcome callLibrary(const std::function<void()>& call) {
    Outcome outcome;
    Capture capture;
    Capture* const previous = tlCapture;
    tlCapture = &capture;
    try {
        call();
    } catch (const RtAudioError& e) {
        capture.errors.emplace_back(e.getType(), e.getMessage());
    } catch (const std::exception& e) {
        capture.errors.emplace_back(RtAudioError::UNSPECIFIED, e.what());
    } catch (...) {
        capture.errors.emplace_back(RtAudioError::UNSPECIFIED, "RtAudio: unknown failure");
    }
    tlCapture = previous;
    for (auto& [type, text] : capture.errors) outcome.fail(toErrorType(type), std::move(text));
    return outcome;
}

// Hands an outcome's messages to the instance's callback; never under a lock of this layer, so the
// callback may call back into the instance.
RtAudioErrorType finish(const InstanceState& state, Outcome&& outcome) {
    for (const Message& message : outcome.messages) state.deliver(message.type, message.text);
    return outcome.code;
}

void haltAfterAudioErrors(InstanceState& state, const Message& first) {
    Outcome outcome;
    bool halted = false;
    {
        std::lock_guard<std::mutex> guard(state.libraryMutex);
        // Abort, not stop: stopping drains, which waits on the connection that just failed.
        if (state.library && state.library->isStreamRunning()) {
            outcome = callLibrary([&] { state.library->abortStream(); });
            halted = true;
        }
    }
    state.deliver(first.type, first.text);
    const unsigned long more = state.audioErrors.load() - 1;
    if (halted || more > 0)
        state.deliver(RTAUDIO_WARNING, "stream stopped after an error on its audio thread (" +
                                           std::to_string(more) + " more after it)");
    finish(state, std::move(outcome));
}

std::vector<DeviceEntry> enumerateFor(const InstanceState& state) {
    std::vector<DeviceEntry> entries;
    // The Pulse back end answers its last list when it cannot reach the server.
    if (pulseServerDown()) return entries;
    Outcome outcome = callLibrary([&] {
        auto lock = registry().lock();
        entries = registry().current();
    });
    finish(state, std::move(outcome));
    return entries;
}

} // namespace audio::detail
