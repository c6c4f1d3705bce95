#pragma once

#include "ctl/Connection.hpp"
#include "ctl/web/PanelModel.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

// The panel's one connection to the engine, on a thread of its own: it keeps the PanelState
// current from the engine's pushes (effect lists, lost devices) and a quiet poll of the stream
// states and groups, and runs the page's actions one at a time. Every request it sends is followed
// by a stream-state request, whose answer marks where the request's own answers end: pushes that
// arrive meanwhile are told from answers that way.
namespace Ctl::Web {

struct MeterTarget {
    int streamId{0};
    int channels{0};
    bool running{false};
};

class PanelEngine {
public:
    class Link;
    // An action of the page, run on the engine thread; its result goes back to the page.
    using Action = std::function<nlohmann::json(Link&)>;

    explicit PanelEngine(std::string socketPath);
    ~PanelEngine();
    PanelEngine(const PanelEngine&) = delete;
    PanelEngine& operator=(const PanelEngine&) = delete;

    void start();
    void stop();

    // Runs `action` on the engine thread and returns its result; throws Failure when the engine is
    // not connected, refuses, or does not answer in time.
    nlohmann::json perform(Action action);
    // The state as JSON text once its version is past `seen` (or `wait` passes), with its version.
    std::pair<std::uint64_t, std::string> stateAfter(std::uint64_t seen, std::chrono::milliseconds wait);
    std::vector<MeterTarget> meterTargets();

private:
    struct Job {
        Action action;
        std::promise<nlohmann::json> result;
        // Its page was told it timed out: a job not yet begun is then never run.
        std::atomic<bool> abandoned{false};
    };

    void run();
    void publish();

    std::string _socketPath;
    std::unique_ptr<Link> _link;
    std::thread _thread;
    bool _stopping{false};

    std::mutex _mutex; // guards what follows
    std::condition_variable _changed;
    std::deque<std::shared_ptr<Job>> _jobs;
    std::uint64_t _version{0};
    std::string _stateText;
    std::vector<MeterTarget> _targets;
    std::uint64_t _published{~0ull}; // the link's revision last published; engine thread only
};

// The connection and the state it keeps; used on the engine thread only.
class PanelEngine::Link {
public:
    explicit Link(std::string socketPath);
    ~Link();

    PanelState& state() { return _state; }
    bool connected() const { return _connection != nullptr; }
    void connect();
    void disconnect();

    // Sends a request, then the marker; returns what arrived before the marker's answer, which
    // updates the stream states. A request answered by stream states itself is sent alone.
    std::vector<Frame> transact(EPacketType type, const std::vector<char>& payload = {});
    // A change sent inside a Command, then the marker: what arrived before its result. A refusal
    // throws Failure(kRefused, "<refusal>: <the engine's reason>") once the states are read again.
    std::vector<Frame> command(EPacketType type, const std::vector<char>& payload, const std::string& refusal);
    // Reads what the engine pushes until `deadline`.
    void listen(Clock::time_point deadline);
    void pollStates();
    void pollGroups();
    void refreshDevices();
    // The chain of `streamId` (-1 the master) read afresh: effects, what can be added, parameters.
    void refreshChain(int streamId);
    // Reads again whatever a push or a change marked stale.
    void refreshStale();
    void markChainStale(int streamId) { _staleChains.insert(streamId); }
    void markAllStale();
    void addNotice(const std::string& text);

    const StreamStateEntry* stream(int id) const;
    // Moves on whenever the state may have changed, so an unchanged state is not rendered again.
    std::uint64_t revision() const { return _revision; }

private:
    void absorb(const Frame& frame);
    void applyStates(std::vector<StreamStateEntry> states);

    std::string _socketPath;
    std::unique_ptr<Connection> _connection;
    PanelState _state;
    std::set<int> _staleChains;
    bool _staleDevices{false}, _staleGroups{false};
    Clock::time_point _devicesRead{};
    int _nextNotice{1};
    int _nextCommandId{1};
    std::uint64_t _revision{0};
};

} // namespace Ctl::Web
