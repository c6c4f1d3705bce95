// Watching a running engine: levels from the streams' shared-memory exports, and the packets the
// engine pushes on its own.

#include "ctl/Commands.hpp"
#include "ctl/Failure.hpp"
#include "ctl/MeterScreen.hpp"
#include "ctl/Output.hpp"

#include <csignal>
#include <iostream>
#include <thread>

namespace Ctl {

namespace {

using namespace std::chrono_literals;

volatile std::sig_atomic_t watchStop = 0;
void stopWatching(int) { watchStop = 1; }

Json levelsJson(int id, bool running, const std::vector<ChannelLevel>& levels) {
    auto number = [](double db) { return db <= kSilenceDb ? Json(nullptr) : Json(std::round(db * 100) / 100); };
    Json channels = Json::array();
    for (std::size_t c = 0; c < levels.size(); ++c)
        channels.push_back({{"channel", c}, {"peakDb", number(levels[c].peakDb)}, {"rmsDb", number(levels[c].rmsDb)}});
    return {{"stream", id}, {"running", running}, {"channels", channels}};
}

int meterOnce(const Invocation& call, const std::vector<int>& ids) {
    Json all = Json::array();
    std::vector<Row> rows;
    for (int id : ids) {
        if (!readRing(id)) throw Failure(kRefused, "stream " + std::to_string(id) + " exports no audio (not running?)");
        // A fresh period, so a stopped stream's last audio is not taken for its present. Audio
        // servers may deliver periods in bursts a second apart; a burst is over within a few ms.
        const bool running = ringAdvances(id, 2500ms);
        if (running) std::this_thread::sleep_for(50ms);
        const auto ring = readRing(id);
        if (!ring) throw Failure(kRefused, "stream " + std::to_string(id) + " stopped exporting audio");
        const auto levels = measureLevels(ring->samples, static_cast<unsigned>(call.channels));
        all.push_back(levelsJson(id, running, levels));
        for (std::size_t c = 0; c < levels.size(); ++c)
            rows.push_back({std::to_string(id), std::to_string(c), decibelText(levels[c].peakDb),
                            decibelText(levels[c].rmsDb), running ? "yes" : "no"});
    }
    if (call.json)
        printJson(call.args.empty() ? all : all.at(0));
    else
        printTable({"STREAM", "CHANNEL", "PEAK-DBFS", "RMS-DBFS", "RUNNING"}, rows);
    return kOk;
}

int meter(const Invocation& call) {
    std::optional<int> id;
    if (!call.args.empty()) id = integerArgument(call, 0);
    if (call.json && !call.once) usageFailure(call.command, "--json goes with --once");
    if (!call.once) return runLiveMeter(id, static_cast<unsigned>(call.channels));
    const auto ids = id ? std::vector<int>{*id} : exportedStreams();
    if (ids.empty()) throw Failure(kRefused, "no stream exports audio");
    return meterOnce(call, ids);
}

// One line per pushed packet, as people or scripts read it.
void printPushed(const Frame& frame, bool json) {
    const auto type = static_cast<EPacketType>(frame.type);
    Json event{{"type", frame.type}};
    std::string text;
    switch (type) {
    case EPacketType::EffectList: {
        const auto effects = decodeEffects(frame);
        Json list = Json::array();
        for (const auto& e : effects) {
            list.push_back({{"name", e.name}, {"enabled", e.enabled}});
            text += (text.empty() ? "" : ", ") + e.name + (e.enabled ? " on" : " off");
        }
        const std::string chain = effects.empty() ? "a chain" : effects[0].streamId == -1
                                                                    ? "master chain"
                                                                    : "stream " + std::to_string(effects[0].streamId);
        if (!effects.empty()) event["stream"] = effects[0].streamId;
        event["effects"] = list;
        text = "effects of " + chain + ": " + (text.empty() ? "(none)" : text);
        break;
    }
    case EPacketType::DeviceDisconnect:
        event["device"] = decodeDisconnect(frame);
        text = "device " + std::to_string(decodeDisconnect(frame)) + " disconnected";
        break;
    case EPacketType::EffectParameters: {
        Json list = Json::array();
        for (const auto& p : decodeParameters(frame)) {
            list.push_back({{"stream", p.streamId}, {"effect", p.effect}, {"name", p.name}, {"value", p.value}});
            text += (text.empty() ? "" : ", ") + p.effect + " " + p.name + " " + fixed(p.value, 2);
        }
        event["parameters"] = list;
        text = "parameters: " + (text.empty() ? "(none)" : text);
        break;
    }
    default:
        event["bytes"] = frame.payload.size();
        text = "packet of type " + std::to_string(frame.type) + ", " + std::to_string(frame.payload.size()) + " bytes";
    }
    std::cout << (json ? escapeInvisibleInJson(event.dump(-1, ' ', false, Json::error_handler_t::replace)) : escapeForTerminal(text))
              << std::endl;
}

int watch(const Invocation& call) {
    struct sigaction action {};
    action.sa_handler = stopWatching;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
    EngineSession engine;
    std::cerr << "watching " << engine.connection.path() << " (Ctrl-C stops)"
              << std::endl;
    const auto stop = [] { return watchStop != 0; };
    while (!watchStop)
        if (auto frame = engine.connection.receive(Clock::now() + 1h, stop)) printPushed(*frame, call.json);
    return kOk;
}

} // namespace

std::vector<Command> monitorCommands() {
    return {
        {"meter", "[ID]", "live peak and RMS levels per channel from the streams' audio exports", 0, 1,
         kOnceOption | kJsonOption | kChannelsOption, meter},
        {"watch", "", "prints what the engine pushes (effect lists, lost devices) as it comes", 0, 0, kJsonOption,
         watch},
    };
}

} // namespace Ctl
