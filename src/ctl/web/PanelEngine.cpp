#include "ctl/web/PanelEngine.hpp"

#include "ctl/Failure.hpp"
#include "ipc/Packet.hpp"

#include <algorithm>
#include <optional>

namespace Ctl::Web {

namespace {

using namespace std::chrono_literals;

constexpr auto kReplyTimeout = 3000ms;
constexpr auto kPollEvery = 200ms;
constexpr auto kReconnectEvery = 1000ms;
constexpr auto kActionTimeout = 8s;
// A stream on a device the lists lack makes them be read again, but not more often than this.
constexpr auto kDevicesAtMostEvery = 2s;
constexpr std::size_t kNoticesKept = 20;

bool lostConnection(const Failure& failure) {
    return failure.status() == kNoReply || failure.status() == kNotRunning;
}

bool isType(const Frame& frame, EPacketType type) { return frame.type == static_cast<std::uint16_t>(type); }

} // namespace

// ---- Link ----------------------------------------------------------------------------------

PanelEngine::Link::Link(std::string socketPath) : _socketPath(std::move(socketPath)) {
    _state.socketPath = _socketPath;
}

PanelEngine::Link::~Link() = default;

void PanelEngine::Link::connect() {
    auto connection = std::make_unique<Connection>(_socketPath, kReplyTimeout);
    connection->open();
    _connection = std::move(connection);
    _state.connected = true;
    ++_revision;
    _staleDevices = _staleGroups = true;
    markAllStale();
}

void PanelEngine::Link::disconnect() {
    _connection.reset();
    // Nothing stale is shown, or acted on, while the engine is away.
    auto notices = std::move(_state.notices);
    _state = PanelState{};
    _state.socketPath = _socketPath;
    _state.notices = std::move(notices);
    _staleChains.clear();
    ++_revision;
}

void PanelEngine::Link::markAllStale() {
    _staleChains.insert(-1);
    for (const auto& s : _state.streams) _staleChains.insert(s.stream.id);
}

void PanelEngine::Link::addNotice(const std::string& text) {
    _state.notices.push_back({_nextNotice++, text});
    ++_revision;
    if (_state.notices.size() > kNoticesKept) _state.notices.erase(_state.notices.begin());
}

const StreamStateEntry* PanelEngine::Link::stream(int id) const {
    for (const auto& s : _state.streams)
        if (s.stream.id == id) return &s;
    return nullptr;
}

std::vector<Frame> PanelEngine::Link::transact(EPacketType type, const std::vector<char>& payload) {
    if (!_connection) throw Failure(kNotRunning, "not connected to the engine at " + _socketPath);
    _connection->send(type, payload);
    if (type != EPacketType::StreamStates && type != EPacketType::StopStream &&
        type != EPacketType::SetChannelRedirect)
        _connection->send(EPacketType::StreamStates);
    std::vector<Frame> answers;
    const auto deadline = _connection->replyDeadline();
    for (;;) {
        auto frame = _connection->receive(deadline);
        if (!frame) throw _connection->noReply();
        if (isType(*frame, EPacketType::StreamStates)) {
            applyStates(decodeStreamStates(*frame));
            return answers;
        }
        answers.push_back(std::move(*frame));
    }
}

std::vector<Frame> PanelEngine::Link::command(EPacketType type, const std::vector<char>& payload,
                                              const std::string& refusal) {
    if (!_connection) throw Failure(kNotRunning, "not connected to the engine at " + _socketPath);
    const int id = _nextCommandId++;
    _connection->sendCommand(id, type, payload);
    _connection->send(EPacketType::StreamStates);
    std::vector<Frame> answers;
    std::optional<CommandOutcome> outcome;
    const auto deadline = _connection->replyDeadline();
    for (;;) {
        auto frame = _connection->receive(deadline);
        if (!frame) throw _connection->noReply();
        if (isType(*frame, EPacketType::CommandResult)) {
            if (const auto decoded = decodeCommandOutcome(*frame); decoded.id == id) outcome = decoded;
        } else if (isType(*frame, EPacketType::StreamStates)) {
            // The marker's answer is the last one; a request answered by states gets one before it.
            applyStates(decodeStreamStates(*frame));
            if (outcome) break;
        } else {
            // A push that came meanwhile (a lost device, another client's change) is kept too.
            absorb(*frame);
            answers.push_back(std::move(*frame));
        }
    }
    if (!outcome->done) throw Failure(kRefused, refusal + (outcome->reason.empty() ? "" : ": " + outcome->reason));
    return answers;
}

void PanelEngine::Link::listen(Clock::time_point deadline) {
    if (!_connection) return;
    while (auto frame = _connection->receive(deadline)) absorb(*frame);
}

void PanelEngine::Link::absorb(const Frame& frame) {
    if (isType(frame, EPacketType::EffectList)) {
        const auto entries = decodeEffects(frame);
        // An empty list names no chain.
        if (entries.empty())
            markAllStale();
        else
            markChainStale(entries.front().streamId);
    } else if (isType(frame, EPacketType::DeviceDisconnect)) {
        const int id = decodeDisconnect(frame);
        std::string name;
        for (const auto* list : {&_state.inputs, &_state.outputs})
            for (const auto& d : *list)
                if (d.id == id) name = " (" + d.name + ")";
        addNotice("Device " + std::to_string(id) + name + " was disconnected");
        _staleDevices = true;
    } else if (isType(frame, EPacketType::StreamStates)) {
        applyStates(decodeStreamStates(frame));
    }
}

void PanelEngine::Link::applyStates(std::vector<StreamStateEntry> states) {
    for (const auto& s : states) {
        if (!stream(s.stream.id)) _staleChains.insert(s.stream.id);
        // Group membership changes with no effect-list push.
        const auto* before = stream(s.stream.id);
        if (before && before->groupId != s.groupId) _staleGroups = true;
        auto known = [&](const std::vector<DeviceEntry>& list, int id) {
            return std::any_of(list.begin(), list.end(), [&](const DeviceEntry& d) { return d.id == id; });
        };
        if ((!known(_state.inputs, s.stream.inputDevice) || !known(_state.outputs, s.stream.outputDevice)) &&
            Clock::now() - _devicesRead > kDevicesAtMostEvery)
            _staleDevices = true;
    }
    for (auto it = _state.chains.begin(); it != _state.chains.end();) {
        const bool gone = it->first != -1 && std::none_of(states.begin(), states.end(), [&](const auto& s) {
                              return s.stream.id == it->first;
                          });
        it = gone ? _state.chains.erase(it) : std::next(it);
    }
    _state.streams = std::move(states);
    ++_revision;
}

void PanelEngine::Link::pollStates() {
    // A push that arrived just before the states (a lost device) is the page's news too.
    for (const auto& frame : transact(EPacketType::StreamStates)) absorb(frame);
}

void PanelEngine::Link::pollGroups() {
    for (const auto& frame : transact(EPacketType::StreamGroups)) {
        if (isType(frame, EPacketType::StreamGroups))
            _state.groups = decodeGroups(frame);
        else
            absorb(frame);
    }
    _staleGroups = false;
    ++_revision;
}

void PanelEngine::Link::refreshDevices() {
    _devicesRead = Clock::now();
    _staleDevices = false;
    for (auto [type, list] : {std::pair{EPacketType::DeviceInputs, &_state.inputs},
                              std::pair{EPacketType::DeviceOutputs, &_state.outputs}})
        for (const auto& frame : transact(type))
            if (frame.type == static_cast<std::uint16_t>(type))
                *list = decodeDevices(frame);
            else
                absorb(frame);
    ++_revision;
}

void PanelEngine::Link::refreshChain(int streamId) {
    _staleChains.erase(streamId);
    if (streamId != -1 && !stream(streamId)) return;
    ChainState chain;
    bool listed = false;
    // The last list about this chain is the newest; lists about others mark them stale.
    for (const auto& frame : transact(EPacketType::EffectList, IPC::Packet<int>::serialize(streamId))) {
        if (!isType(frame, EPacketType::EffectList)) {
            absorb(frame);
            continue;
        }
        const auto entries = decodeEffects(frame);
        if (!std::all_of(entries.begin(), entries.end(), [&](const auto& e) { return e.streamId == streamId; })) {
            absorb(frame);
            continue;
        }
        chain.effects.clear();
        for (const auto& e : entries) chain.effects.push_back({e.name, e.enabled, {}});
        listed = true;
    }
    // No list: the stream went meanwhile.
    if (!listed) return;
    for (const auto& frame : transact(EPacketType::NotAddedEffects, IPC::Packet<int>::serialize(streamId)))
        if (isType(frame, EPacketType::NotAddedEffects)) {
            chain.addable.clear();
            for (const auto& e : decodeAddableEffects(frame)) chain.addable.push_back(e.name);
        } else {
            absorb(frame);
        }
    for (auto& effect : chain.effects)
        for (const auto& frame :
             transact(EPacketType::EffectParameters, IPC::Packet<int, std::string>::serialize(streamId, effect.name))) {
            if (!isType(frame, EPacketType::EffectParameters)) {
                absorb(frame);
                continue;
            }
            auto parameters = decodeParameters(frame);
            if (std::all_of(parameters.begin(), parameters.end(),
                            [&](const auto& p) { return p.streamId == streamId && p.effect == effect.name; }))
                effect.parameters = std::move(parameters);
        }
    _state.chains[streamId] = std::move(chain);
    ++_revision;
}

void PanelEngine::Link::refreshStale() {
    if (_staleDevices) refreshDevices();
    if (_staleGroups) pollGroups();
    // Chains that pushes mark meanwhile wait for the next round: a client that keeps changing
    // chains must not hold up the page's actions.
    const auto stale = _staleChains;
    for (int id : stale) refreshChain(id);
}

// ---- PanelEngine ---------------------------------------------------------------------------

PanelEngine::PanelEngine(std::string socketPath)
    : _socketPath(std::move(socketPath)), _link(std::make_unique<Link>(_socketPath)) {
    _stateText = panelJson(_link->state()).dump();
}

PanelEngine::~PanelEngine() { stop(); }

void PanelEngine::start() { _thread = std::thread([this] { run(); }); }

void PanelEngine::stop() {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _stopping = true;
    }
    _changed.notify_all();
    if (_thread.joinable()) _thread.join();
}

nlohmann::json PanelEngine::perform(Action action) {
    auto job = std::make_shared<Job>();
    job->action = std::move(action);
    auto result = job->result.get_future();
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_stopping) throw Failure(kNoReply, "the panel is stopping");
        _jobs.push_back(job);
    }
    if (result.wait_for(kActionTimeout) != std::future_status::ready) {
        job->abandoned = true;
        throw Failure(kNoReply, "the engine did not answer in time");
    }
    return result.get();
}

std::pair<std::uint64_t, std::string> PanelEngine::stateAfter(std::uint64_t seen, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> guard(_mutex);
    _changed.wait_for(guard, wait, [&] { return _version != seen || _stopping; });
    return {_version, _stateText};
}

std::vector<MeterTarget> PanelEngine::meterTargets() {
    std::lock_guard<std::mutex> guard(_mutex);
    return _targets;
}

void PanelEngine::publish() {
    if (_link->revision() == _published) return;
    _published = _link->revision();
    std::string text = panelJson(_link->state()).dump();
    std::vector<MeterTarget> targets;
    for (const auto& s : _link->state().streams) targets.push_back({s.stream.id, s.outputChannels, s.running});
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _targets = std::move(targets);
        if (text == _stateText) return;
        _stateText = std::move(text);
        ++_version;
    }
    _changed.notify_all();
}

void PanelEngine::run() {
    auto nextPoll = Clock::now();
    auto nextConnect = Clock::now();
    for (;;) {
        std::deque<std::shared_ptr<Job>> jobs;
        {
            std::lock_guard<std::mutex> guard(_mutex);
            if (_stopping) break;
            jobs.swap(_jobs);
        }
        try {
            if (!_link->connected() && Clock::now() >= nextConnect) {
                nextConnect = Clock::now() + kReconnectEvery;
                try {
                    _link->connect();
                } catch (const Failure&) {
                    // Not running yet (or any more): the page says so, and this tries again.
                }
            }
            for (auto& job : jobs) {
                if (job->abandoned) continue;
                try {
                    if (!_link->connected())
                        throw Failure(kNotRunning, "the engine at " + _socketPath + " is not running");
                    auto result = job->action(*_link);
                    _link->refreshStale();
                    job->result.set_value(std::move(result));
                } catch (const Failure& failure) {
                    job->result.set_exception(std::current_exception());
                    if (lostConnection(failure)) _link->disconnect();
                } catch (const std::exception&) {
                    job->result.set_exception(std::current_exception());
                }
                publish();
            }
            jobs.clear();
            if (_link->connected()) {
                if (Clock::now() >= nextPoll) {
                    nextPoll = Clock::now() + kPollEvery;
                    _link->pollStates();
                    _link->pollGroups();
                }
                _link->refreshStale();
            }
            publish();
            // Short waits keep an action's latency low; the socket is read meanwhile.
            if (_link->connected())
                _link->listen(Clock::now() + 15ms);
            else
                std::this_thread::sleep_for(15ms);
        } catch (const Failure& failure) {
            // A lost connection is opened again; a reply that did not decode counts as lost.
            if (lostConnection(failure)) _link->disconnect();
            publish();
        }
    }
    std::lock_guard<std::mutex> guard(_mutex);
    for (auto& job : _jobs) job->result.set_exception(std::make_exception_ptr(Failure(kNoReply, "the panel stopped")));
    _jobs.clear();
}

} // namespace Ctl::Web
