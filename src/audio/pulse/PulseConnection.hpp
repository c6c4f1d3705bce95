#pragma once

// The process's one connection to the sound server (PulseAudio, or PipeWire's PulseAudio server):
// a threaded mainloop that carries the device lists, the change events and every stream. When the
// server goes away it reconnects on its own, with a growing delay, and says so to the engine.
//
// Nothing here waits for the server while a caller's lock is held: the control side only queues
// operations under the mainloop's lock, which the mainloop's thread holds while it runs callbacks
// and never while it waits.

#include "audio/pulse/PulseDevices.hpp"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace audio::detail {

class PulseConnection {
public:
    // Starts the mainloop and the first connection, once, then waits up to `timeout` for the first
    // device list (the only wait on the server, made before the engine serves anyone). True when
    // the server answers. `keepTrying`: reconnect even when the first attempt failed.
    bool start(std::chrono::milliseconds timeout, bool keepTrying);
    bool serverUp() const { return ready_.load(); }

    // The last device list the server gave; empty while it is gone. Never waits.
    std::shared_ptr<const PulseDeviceList> devices() const;

    // The mainloop's lock, for queuing stream operations from the control side.
    void lock() { pa_threaded_mainloop_lock(mainloop_); }
    void unlock() { pa_threaded_mainloop_unlock(mainloop_); }
    // Under lock(): the connected context, or null while the server is gone.
    pa_context* readyContext() const { return ready_.load() ? context_ : nullptr; }

    // Under lock() or on the mainloop's thread: runs `then` on the mainloop's thread once a device
    // list asked for after this call has been published, or at once (list emptied) when the server
    // is gone. So whoever `then` tells sees a list at least as new as the event that prompted it.
    void afterFreshListing(std::function<void()> then);

    // Why the mainloop's thread runs without real-time scheduling ("" when it has it, or before it
    // was asked).
    std::string realtimeRefusal() const;

private:
    void connect();
    void dropContext();
    void lost();
    void retryLater();
    void requestListing();
    void listingStep();
    void listIfChanged(const PulseDevice& device);
    void publish(PulseDeviceList devices);

    static void onState(pa_context* context, void* self);
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* self);
    static void onChangedSink(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onChangedSource(pa_context* context, const pa_source_info* info, int eol, void* self);
    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* self);

    std::mutex startMutex_;
    pa_threaded_mainloop* mainloop_{nullptr};
    pa_mainloop_api* api_{nullptr};

    // Below: the mainloop's thread, or under its lock.
    pa_context* context_{nullptr};
    bool keepTrying_{false};
    bool everReady_{false};
    bool retryPending_{false};
    pa_usec_t retryDelay_{0};
    bool realtimeAsked_{false};
    // One listing at a time; a change announced meanwhile asks for another after it.
    bool listing_{false};
    bool listAgain_{false};
    int outstanding_{0};
    PulseListing partial_;
    std::vector<std::function<void()>> waitingForThis_;
    std::vector<std::function<void()>> waitingForNext_;
    PulseDeviceIds ids_;
    bool announceNextList_{false};

    std::atomic<bool> ready_{false};
    mutable std::mutex devicesMutex_;
    std::shared_ptr<const PulseDeviceList> devices_{std::make_shared<PulseDeviceList>()};
    std::condition_variable firstAnswer_;
    bool answered_{false};
    std::string realtimeRefusal_;
};

// Never destroyed: the mainloop's thread may still run while the process exits.
PulseConnection& pulseConnection();

} // namespace audio::detail
