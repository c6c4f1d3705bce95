#pragma once

// The process's one connection to the PipeWire daemon: a pw_thread_loop that carries the registry
// (audio nodes, their ports, the "default" and "settings" metadata) and every stream's control. When
// the daemon goes away it connects again on its own, with a growing delay, and says so.
//
// The control side only takes the loop's lock, which the loop's thread holds while it runs
// callbacks and never while it waits for the daemon: nothing here waits on the daemon while a
// caller's lock is held, except start()'s bounded first wait.

#include "audio/RealtimePriority.hpp"
#include "audio/pipewire/PipeWireDevices.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_loop;
struct pw_context;
struct pw_core;
struct pw_registry;
struct spa_source;
struct spa_dict;

namespace audio::detail {

// A stream's view of the graph, told on the loop's thread.
class PipeWireWatcher {
public:
    virtual ~PipeWireWatcher() = default;
    // A node left the graph.
    virtual void nodeGone(const std::string& nodeName) = 0;
    // The daemon is gone: every pw_stream must be destroyed now, before the core goes.
    virtual void daemonGone() = 0;
};

class PipeWireConnection {
public:
    // Starts the loop and the first connection, once, then waits up to `timeout` for the first
    // complete view of the graph. True when the daemon answers. `keepTrying`: connect again
    // later even when the first attempt found no daemon.
    bool start(std::chrono::milliseconds timeout, bool keepTrying);
    bool daemonUp() const { return ready_.load(); }

    // The last device list; empty while the daemon is gone. Never waits.
    std::shared_ptr<const PipeWireDeviceList> devices() const;

    void lock();
    void unlock();
    // Under lock(): the connected core, or null while the daemon is gone.
    pw_core* readyCore() const { return ready_.load() ? core_ : nullptr; }
    // Under lock(). Watchers are told until removed.
    void addWatcher(PipeWireWatcher* watcher);
    void removeWatcher(PipeWireWatcher* watcher);
    // Under lock() or on the loop's thread: runs `then` on the loop's thread once the daemon has
    // answered everything sent before this call (so the registry is at least as new as whatever
    // prompted it), or at once when the daemon is gone.
    void afterRoundTrip(std::function<void()> then);
    // Under lock() or on the loop's thread: whether the graph has an audio node of that name now.
    bool hasNode(const std::string& nodeName) const;

    // Why the data thread (which runs every period) has no real-time scheduling; "" when it has.
    // The data thread answers when it next runs: waits up to `wait` for that, off every lock. An
    // answer that comes later (or after a daemon that was not there yet) is a notice of its own.
    std::string realtimeRefusal(std::chrono::milliseconds wait);
    // What the data thread calls to ask for real-time scheduling (a test's stand-in). Before start().
    void setRealtimeRequest(std::string (*request)()) { realtimeRequest_ = request; }

    struct Registry; // the loop thread's records of the graph

private:
    void connect();
    void lost();
    void teardown();
    void retryLater(std::uint64_t delayMs);
    void askRealtime();
    void changed();
    void publish();

    static void onRetry(void* self, std::uint64_t expirations);
    static void onCoreDone(void* self, std::uint32_t id, int seq);
    static void onCoreError(void* self, std::uint32_t id, int seq, int res, const char* message);
    static void onGlobal(void* self, std::uint32_t id, std::uint32_t permissions, const char* type,
                         std::uint32_t version, const spa_dict* props);
    static void onGlobalRemove(void* self, std::uint32_t id);

    friend struct Registry;

    std::mutex startMutex_;
    pw_thread_loop* threadLoop_{nullptr};
    pw_loop* loop_{nullptr};
    pw_context* context_{nullptr};
    spa_source* retryTimer_{nullptr};

    // Below: the loop's thread, or under its lock.
    pw_core* core_{nullptr};
    pw_registry* registryProxy_{nullptr};
    std::unique_ptr<Registry> registry_;
    bool keepTrying_{false};
    bool everReady_{false};
    bool teardownPending_{false};
    std::uint64_t retryDelayMs_{0};
    int syncSeq_{-1};
    bool syncPending_{false};
    bool realtimeAsked_{false};
    bool announceNextList_{false};
    PipeWireDeviceIds ids_;
    std::vector<PipeWireWatcher*> watchers_;
    std::vector<std::pair<int, std::function<void()>>> roundTrips_;

    std::atomic<bool> ready_{false};
    mutable std::mutex devicesMutex_;
    std::shared_ptr<const PipeWireDeviceList> devices_{std::make_shared<PipeWireDeviceList>()};
    std::condition_variable firstAnswer_;
    bool answered_{false};
    enum class Realtime { NotAsked, Asked, Answered } realtime_{Realtime::NotAsked};
    bool realtimeRead_{false}; // the choice of back end has read it: a later answer is a notice
    std::string realtimeRefusal_;
    std::condition_variable realtimeAnswered_;
    std::string (*realtimeRequest_)(){&requestRealtimeScheduling};
};

// Never destroyed: the loop's thread may still run while the process exits.
PipeWireConnection& pipeWireConnection();

} // namespace audio::detail
