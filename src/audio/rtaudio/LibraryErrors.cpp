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

Fault toFault(::RtAudioError::Type type) {
    switch (type) {
    case RtAudioError::WARNING:
    case RtAudioError::DEBUG_WARNING: return Fault::Warning;
    case RtAudioError::UNSPECIFIED: return Fault::Unknown;
    case RtAudioError::NO_DEVICES_FOUND: return Fault::NoDevices;
    case RtAudioError::INVALID_DEVICE: return Fault::InvalidDevice;
    case RtAudioError::MEMORY_ERROR: return Fault::Memory;
    case RtAudioError::INVALID_PARAMETER: return Fault::InvalidParameter;
    case RtAudioError::INVALID_USE: return Fault::InvalidUse;
    case RtAudioError::DRIVER_ERROR: return Fault::Driver;
    case RtAudioError::SYSTEM_ERROR: return Fault::System;
    case RtAudioError::THREAD_ERROR: return Fault::Thread;
    }
    return Fault::Unknown;
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
            deviceWatch().post(tlAudioState->weak_from_this(), {toFault(type), text}, true);
        return;
    }
    // A library thread that has not run a period yet; it can only matter as a lost device.
    deviceWatch().requestSweep();
}

int audioTrampoline(void* outputBuffer, void* inputBuffer, unsigned int nFrames, double streamTime,
                    ::RtAudioStreamStatus status, void* userData) {
    auto* state = static_cast<InstanceState*>(userData);
    tlAudioState = state; // stays set: the library reports write/read errors after we return
    return state->userCallback(outputBuffer, inputBuffer, nFrames, streamTime,
                               static_cast<StreamStatus>(status), state->userData);
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
    for (auto& [type, text] : capture.errors) outcome.fail(toFault(type), std::move(text));
    return outcome;
}

// Hands an outcome's messages to the instance's callback; never under a lock of this layer, so the
// callback may call back into the instance.
Fault finish(const InstanceState& state, Outcome&& outcome) {
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
        state.deliver(Fault::Warning, "stream stopped after an error on its audio thread (" +
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
