#include "audio/rtaudio/PulseEvents.hpp"

#include "audio/rtaudio/DeviceWatch.hpp"
#include "audio/DevicesChanged.hpp"
#include "audio/rtaudio/StableDeviceIds.hpp"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <mutex>
#include <sys/time.h>

namespace audio {

namespace detail {

namespace {

constexpr pa_usec_t kFirstRetry = 200 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kLongestRetry = 4 * PA_USEC_PER_SEC;

// Everything below runs on the threaded mainloop's own thread (its callbacks), except start and
// stop, which hold the mainloop's lock.
class PulseEvents {
public:
    bool start() {
        std::lock_guard<std::mutex> guard(startMutex_);
        if (mainloop_) return active_.load();
        mainloop_ = pa_threaded_mainloop_new();
        if (!mainloop_) return false;
        api_ = pa_threaded_mainloop_get_api(mainloop_);
        connect();
        if (pa_threaded_mainloop_start(mainloop_) < 0) return false;
        active_ = true;
        return true;
    }

    // At exit: the connection goes first, so the server sees a clean goodbye.
    void stop() {
        std::lock_guard<std::mutex> guard(startMutex_);
        if (!active_.exchange(false)) return;
        pa_threaded_mainloop_lock(mainloop_);
        stopping_ = true;
        dropContext();
        pa_threaded_mainloop_unlock(mainloop_);
        pa_threaded_mainloop_stop(mainloop_);
    }

    bool active() const { return active_.load(); }
    bool serverDown() const { return serverDown_.load(); }

private:
    void connect() {
        context_ = pa_context_new(api_, "vantrell device events");
        if (!context_) {
            retryLater();
            return;
        }
        pa_context_set_state_callback(context_, &PulseEvents::onState, this);
        pa_context_set_subscribe_callback(context_, &PulseEvents::onEvent, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) lost();
    }

    void dropContext() {
        if (!context_) return;
        registry().announceChanges(false);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }

    void lost() {
        registry().announceChanges(false);
        if (stopping_) return;
        const bool wasUp = !serverDown_.exchange(true);
        // Streams on the server are gone with it; the watch checks them now rather than at the
        // next failed period.
        if (wasUp) deviceWatch().requestSweep();
        retryLater();
    }

    void retryLater() {
        if (retryPending_ || stopping_) return;
        retryPending_ = true;
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, retryDelay_);
        retryDelay_ = std::min(retryDelay_ * 2, kLongestRetry);
        api_->time_new(api_, &when, &PulseEvents::onRetry, this);
    }

    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self) {
        api->time_free(event);
        auto* events = static_cast<PulseEvents*>(self);
        events->retryPending_ = false;
        if (events->stopping_) return;
        events->dropContext(); // never from its own state callback, hence here
        events->connect();
    }

    static void onState(pa_context* context, void* self) {
        auto* events = static_cast<PulseEvents*>(self);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            events->retryDelay_ = kFirstRetry;
            // The server's own changes carry the default sink and source.
            const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                                                  PA_SUBSCRIPTION_MASK_SERVER);
            pa_operation* op = pa_context_subscribe(context, mask, &PulseEvents::onSubscribed, nullptr);
            if (op) pa_operation_unref(op);
            // Back after a loss: the engine's lists are stale and its streams may be reopened.
            if (events->serverDown_.exchange(false)) notifyDevicesChanged();
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: events->lost(); break;
        default: break;
        }
    }

    // Changes are announced from here on: device lists may be kept until the next one.
    static void onSubscribed(pa_context*, int success, void*) {
        if (success) registry().announceChanges(true);
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void*) {
        // Any change (a device, a default, a rate) makes the kept list stale.
        registry().invalidate();
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) return;
        switch (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
        case PA_SUBSCRIPTION_EVENT_REMOVE: deviceWatch().requestSweep(); break;
        case PA_SUBSCRIPTION_EVENT_NEW: notifyDevicesChanged(); break;
        default: break; // volume and port changes say nothing about presence
        }
    }

    std::mutex startMutex_;
    pa_threaded_mainloop* mainloop_{nullptr};
    pa_mainloop_api* api_{nullptr};
    pa_context* context_{nullptr};
    pa_usec_t retryDelay_{kFirstRetry};
    bool retryPending_{false};
    bool stopping_{false};
    std::atomic<bool> active_{false};
    std::atomic<bool> serverDown_{false};
};

// Never destroyed: the mainloop thread may still run while the process exits.
PulseEvents& events() {
    static PulseEvents* instance = new PulseEvents;
    return *instance;
}

struct PulseEventsShutdown {
    ~PulseEventsShutdown() { events().stop(); }
} pulseEventsShutdown;

} // namespace

bool startPulseEvents() { return events().start(); }
bool pulseEventsActive() { return events().active(); }
bool pulseServerDown() { return events().serverDown(); }

} // namespace detail

} // namespace audio
