#include "audio/pulse/PulseConnection.hpp"

#include "audio/DevicesChanged.hpp"
#include "audio/RealtimePriority.hpp"

#include <algorithm>
#include <set>
#include <sys/time.h>

namespace audio::detail {

namespace {

constexpr pa_usec_t kFirstRetry = 100 * PA_USEC_PER_MSEC;
// Short enough that streams play again within a second or so of the server's return.
constexpr pa_usec_t kLongestRetry = 1 * PA_USEC_PER_SEC;

template <typename Operation>
bool issued(Operation* operation) {
    if (!operation) return false;
    pa_operation_unref(operation);
    return true;
}

} // namespace

bool PulseConnection::start(std::chrono::milliseconds timeout, bool keepTrying) {
    {
        std::lock_guard<std::mutex> guard(startMutex_);
        if (!mainloop_) {
            mainloop_ = pa_threaded_mainloop_new();
            if (!mainloop_) return false;
            api_ = pa_threaded_mainloop_get_api(mainloop_);
            keepTrying_ = keepTrying;
            retryDelay_ = kFirstRetry;
            connect();
            if (pa_threaded_mainloop_start(mainloop_) < 0) return false;
        } else if (keepTrying) {
            lock();
            if (!keepTrying_) {
                keepTrying_ = true;
                if (!context_ && !retryPending_) retryLater();
            }
            unlock();
        }
    }
    std::unique_lock<std::mutex> lock(devicesMutex_);
    firstAnswer_.wait_for(lock, timeout, [this] { return answered_; });
    return ready_.load();
}

std::shared_ptr<const PulseDeviceList> PulseConnection::devices() const {
    std::lock_guard<std::mutex> guard(devicesMutex_);
    return devices_;
}

std::string PulseConnection::realtimeRefusal() const {
    std::lock_guard<std::mutex> guard(devicesMutex_);
    return realtimeRefusal_;
}

void PulseConnection::afterFreshListing(std::function<void()> then) {
    if (!ready_.load()) {
        then(); // the list was emptied when the server went
        return;
    }
    if (listing_) {
        // The listing under way may have been asked before whatever prompted this.
        waitingForNext_.push_back(std::move(then));
        listAgain_ = true;
        return;
    }
    waitingForThis_.push_back(std::move(then));
    requestListing();
}

void PulseConnection::connect() {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "vantrell");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "vantrell");
    context_ = pa_context_new_with_proplist(api_, "vantrell", properties);
    pa_proplist_free(properties);
    if (!context_) {
        retryLater();
        return;
    }
    pa_context_set_state_callback(context_, &PulseConnection::onState, this);
    pa_context_set_subscribe_callback(context_, &PulseConnection::onEvent, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) lost();
}

void PulseConnection::dropContext() {
    if (!context_) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseConnection::lost() {
    const bool wasUp = ready_.exchange(false);
    listing_ = listAgain_ = false;
    outstanding_ = 0;
    publish({});
    // Whoever waits for a list learns the server is gone: the list is empty now.
    auto waiting = std::move(waitingForThis_);
    for (auto& then : waitingForNext_) waiting.push_back(std::move(then));
    waitingForThis_.clear();
    waitingForNext_.clear();
    for (auto& then : waiting) then();
    if (wasUp) announceNextList_ = true; // its return is news for the engine
    {
        std::lock_guard<std::mutex> guard(devicesMutex_);
        answered_ = true;
    }
    firstAnswer_.notify_all();
    if (keepTrying_ || everReady_) retryLater();
}

void PulseConnection::retryLater() {
    if (retryPending_) return;
    retryPending_ = true;
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, retryDelay_);
    retryDelay_ = std::min(retryDelay_ * 2, kLongestRetry);
    api_->time_new(api_, &when, &PulseConnection::onRetry, this);
}

void PulseConnection::onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self) {
    api->time_free(event);
    auto* connection = static_cast<PulseConnection*>(self);
    connection->retryPending_ = false;
    connection->dropContext(); // never from its own state callback, hence here
    connection->connect();
}

void PulseConnection::onState(pa_context* context, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        connection->retryDelay_ = kFirstRetry;
        connection->everReady_ = true;
        connection->ready_.store(true);
        if (!connection->realtimeAsked_) {
            // This thread runs every stream's periods.
            connection->realtimeAsked_ = true;
            std::string refusal = requestRealtimeScheduling();
            std::lock_guard<std::mutex> guard(connection->devicesMutex_);
            connection->realtimeRefusal_ = std::move(refusal);
        }
        const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                                              PA_SUBSCRIPTION_MASK_SERVER);
        issued(pa_context_subscribe(context, mask, nullptr, nullptr));
        connection->requestListing();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: connection->lost(); break;
    default: break;
    }
}

void PulseConnection::onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    // A change of one device is mostly its state (a recorder arriving at a monitor starts it), its
    // volume or its latency: that device alone is asked for, and the list only if what it shows of
    // the device changed. Listing every device at each such event (sixteen recorders arriving make
    // dozens) held up the streams on this connection until they ran dry.
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_CHANGE && connection->ready_.load()) {
        switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
        case PA_SUBSCRIPTION_EVENT_SINK:
            if (issued(pa_context_get_sink_info_by_index(context, index, &PulseConnection::onChangedSink, self)))
                return;
            break;
        case PA_SUBSCRIPTION_EVENT_SOURCE:
            if (issued(pa_context_get_source_info_by_index(context, index, &PulseConnection::onChangedSource, self)))
                return;
            break;
        default: break;
        }
    }
    // A device came or went, or a default changed: the whole list is asked again (one answer keeps
    // ids and defaults consistent).
    connection->requestListing();
}

void PulseConnection::onChangedSink(pa_context*, const pa_sink_info* info, int eol, void* self) {
    // eol < 0: it went meanwhile, and its own event follows.
    if (eol == 0 && info) static_cast<PulseConnection*>(self)->listIfChanged(describeSink(*info));
}

void PulseConnection::onChangedSource(pa_context*, const pa_source_info* info, int eol, void* self) {
    if (eol == 0 && info) static_cast<PulseConnection*>(self)->listIfChanged(describeSource(*info));
}

void PulseConnection::listIfChanged(const PulseDevice& device) {
    if (!ready_.load()) return;
    {
        std::lock_guard<std::mutex> guard(devicesMutex_);
        if (listedAsIs(*devices_, device)) return;
    }
    requestListing();
}

void PulseConnection::requestListing() {
    if (!ready_.load()) return;
    if (listing_) {
        listAgain_ = true;
        return;
    }
    listing_ = true;
    partial_ = PulseListing();
    outstanding_ = 3;
    if (!issued(pa_context_get_server_info(context_, &PulseConnection::onServerInfo, this))) --outstanding_;
    if (!issued(pa_context_get_sink_info_list(context_, &PulseConnection::onSinkInfo, this))) --outstanding_;
    if (!issued(pa_context_get_source_info_list(context_, &PulseConnection::onSourceInfo, this))) --outstanding_;
    if (outstanding_ == 0) listing_ = false; // the context is failing; its state callback follows
}

void PulseConnection::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    if (!connection->listing_) return;
    if (info) connection->partial_.setDefaults(info->default_sink_name, info->default_source_name);
    connection->listingStep();
}

void PulseConnection::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    if (!connection->listing_) return;
    if (eol == 0 && info) {
        connection->partial_.addSink(*info);
        return;
    }
    connection->listingStep();
}

void PulseConnection::onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    if (!connection->listing_) return;
    if (eol == 0 && info) {
        connection->partial_.addSource(*info);
        return;
    }
    connection->listingStep();
}

void PulseConnection::listingStep() {
    if (--outstanding_ > 0) return;
    publish(partial_.finish(ids_));
    listing_ = false;
    auto waiting = std::move(waitingForThis_);
    waitingForThis_ = std::move(waitingForNext_);
    waitingForNext_.clear();
    for (auto& then : waiting) then();
    if (listAgain_ || !waitingForThis_.empty()) {
        listAgain_ = false;
        requestListing();
    }
}

void PulseConnection::publish(PulseDeviceList devices) {
    auto fresh = std::make_shared<const PulseDeviceList>(std::move(devices));
    bool arrived = false;
    {
        std::lock_guard<std::mutex> guard(devicesMutex_);
        std::set<unsigned int> before;
        for (const PulseDevice& device : *devices_) before.insert(device.info.id);
        for (const PulseDevice& device : *fresh)
            if (!before.contains(device.info.id)) arrived = true;
        devices_ = std::move(fresh);
        if (!answered_ && ready_.load()) {
            answered_ = true;
            firstAnswer_.notify_all();
        }
    }
    // New devices, or the server back after a loss: the engine may reopen halted streams.
    if ((arrived || announceNextList_) && ready_.load()) {
        announceNextList_ = false;
        notifyDevicesChanged();
    }
}

PulseConnection& pulseConnection() {
    static PulseConnection* instance = new PulseConnection;
    return *instance;
}

} // namespace audio::detail
