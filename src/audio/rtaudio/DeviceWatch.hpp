#pragma once

#include "audio/DevicesChanged.hpp"
#include "audio/DeviceLost.hpp"
#include "audio/rtaudio/LibraryErrors.hpp"
#include "audio/rtaudio/LibraryState.hpp"
#include "audio/rtaudio/PulseEvents.hpp"
#include "audio/rtaudio/StableDeviceIds.hpp"
#include "utilities/WorkerQueue.hpp"

#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace audio::detail {

// Forwards what the library's threads report, stops streams whose audio thread failed, and watches
// open streams for lost devices: on the server's events where it has them, else by a periodic look.
// The thread runs only while some stream is open or a report is pending.
class DeviceWatch {
public:
    // `halt`: the report came from a stream's audio thread, which is stopped before it is delivered.
    void post(std::weak_ptr<InstanceState> target, Message message, bool halt = false) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!running_) return; // no open stream left to care about it
        if (reports_.size() >= kMaxPendingReports) {
            ++droppedReports_;
            return;
        }
        reports_.push_back({std::move(target), std::move(message), halt});
        sweepRequested_ = true;
        worker_.wake();
    }

    void requestSweep() {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!running_) return;
        sweepRequested_ = true;
        worker_.wake();
    }

    void watch(const std::shared_ptr<InstanceState>& state, const std::shared_ptr<OpenStreamRecord>& record) {
        std::lock_guard<std::mutex> guard(mutex_);
        watched_.push_back({state, record});
        if (running_ || stopping_) return;
        running_ = true;
        // A previous worker has stopped itself and only has to leave. With the server's events a
        // removal wakes us: looking on the timer then would only cost.
        worker_.start({.onWake = [this] { pass(false); },
                       .tick = kPollInterval,
                       .onTick = [this] { pass(!pulseEventsActive()); }});
    }

    void unwatch(const std::shared_ptr<OpenStreamRecord>& record) {
        record->closed.store(true);
        std::lock_guard<std::mutex> guard(mutex_);
        std::erase_if(watched_, [&](const Watched& w) { return w.record == record; });
        worker_.wake(); // the last one lets the worker go
    }

    // At exit. The object itself is never destroyed, so a worker stuck in a server call past the
    // timeout is left behind rather than hanging the process.
    void shutdown() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
            running_ = false;
        }
        worker_.stopWithin(kExitJoinTimeout);
    }

private:
    struct Watched {
        std::weak_ptr<InstanceState> state;
        std::shared_ptr<OpenStreamRecord> record;
    };
    struct Report {
        std::weak_ptr<InstanceState> target;
        Message message;
        bool halt{false};
    };

    void pass(bool pollDue) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::deque<Report> reports = std::move(reports_);
        reports_.clear();
        const unsigned long dropped = std::exchange(droppedReports_, 0);
        const bool sweep = std::exchange(sweepRequested_, false) || pollDue;
        std::vector<Watched> watched = watched_;
        lock.unlock();

        for (const Report& report : reports) {
            auto state = report.target.lock();
            if (!state) continue;
            if (report.halt)
                haltAfterAudioErrors(*state, report.message);
            else
                state->deliver(report.message.type, report.message.text);
        }
        if (dropped > 0 && !reports.empty())
            if (auto state = reports.back().target.lock())
                state->deliver(Fault::Warning, std::to_string(dropped) + " more library reports not shown");
        if (sweep && !watched.empty()) sweepForLostDevices(watched);
        watched.clear(); // drop the references before taking the lock again

        lock.lock();
        if (running_ && watched_.empty() && reports_.empty() && !sweepRequested_) {
            running_ = false;
            worker_.stop(); // from its own thread: returns at once
        }
    }

    static bool presentIds(std::set<unsigned int>& ids) {
        // Nothing is present on a server that is gone (the library would answer its last list).
        if (pulseServerDown()) return true;
        try {
            auto lock = registry().lock();
            for (const DeviceEntry& entry : registry().enumerate()) ids.insert(entry.id);
            return true;
        } catch (...) {
            ids.clear();
            return pulseServerDown(); // otherwise we cannot tell; the next look asks again
        }
    }

    static void sweepForLostDevices(const std::vector<Watched>& watched) {
        std::set<unsigned int> present;
        if (!presentIds(present)) return;
        auto missingFrom = [](const Watched& w, const std::set<unsigned int>& ids) {
            std::vector<const OpenStreamRecord::Device*> missing;
            std::set<unsigned int> named; // a duplex device is named once
            for (const auto& device : w.record->devices)
                if (!ids.contains(device.id) && named.insert(device.id).second) missing.push_back(&device);
            return missing;
        };
        // A lost stream whose devices are all back: the engine is told, once per loss, so it opens
        // the stream again. A server without events (JACK) announces its return no other way.
        bool anyBack = false;
        for (const Watched& w : watched)
            if (w.record->reported.load() && !w.record->closed.load() && missingFrom(w, present).empty() &&
                !w.record->announcedBack.exchange(true))
                anyBack = true;
        if (anyBack) notifyDevicesChanged();

        bool anyMissing = false;
        for (const Watched& w : watched)
            if (!w.record->reported.load() && !missingFrom(w, present).empty()) anyMissing = true;
        if (!anyMissing) return;

        std::this_thread::sleep_for(kConfirmDelay);
        present.clear();
        if (!presentIds(present)) return;
        for (const Watched& w : watched) {
            if (w.record->closed.load()) continue;
            const auto missing = missingFrom(w, present);
            if (missing.empty() || w.record->reported.exchange(true)) continue;
            std::vector<std::string> names;
            for (const auto* device : missing) names.push_back(device->name);
            if (auto state = w.state.lock()) state->deliver(Fault::DeviceLost, deviceLost(names).reason());
        }
    }

    std::mutex mutex_;
    std::deque<Report> reports_;
    std::vector<Watched> watched_;
    unsigned long droppedReports_{0};
    bool sweepRequested_{false};
    bool running_{false};
    bool stopping_{false};
    Utilities::WorkerQueue worker_;
};

// The process's one watch; never destroyed, and stopped with a bounded wait when the process exits.
DeviceWatch& deviceWatch();

} // namespace audio::detail
