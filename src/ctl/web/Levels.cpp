#include "ctl/web/Levels.hpp"

#include "ctl/Failure.hpp"
#include "ctl/Meter.hpp"

#include <algorithm>
#include <cmath>

namespace Ctl::Web {

namespace {

using namespace std::chrono_literals;

constexpr auto kEvery = 40ms;
// Some servers deliver periods in bursts about a second apart; longer than that is a halt.
constexpr auto kStalledAfter = 1500ms;

double tenths(double db) { return std::round(db * 10.0) / 10.0; }

} // namespace

void Levels::start() { _thread = std::thread([this] { run(); }); }

void Levels::stop() {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _stopping = true;
    }
    _changed.notify_all();
    if (_thread.joinable()) _thread.join();
}

std::pair<std::uint64_t, std::string> Levels::after(std::uint64_t seen, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> guard(_mutex);
    _changed.wait_for(guard, wait, [&] { return _sequence != seen || _stopping; });
    return {_sequence, _text};
}

std::string Levels::measure() {
    nlohmann::json streams = nlohmann::json::object();
    const auto now = std::chrono::steady_clock::now();
    std::map<int, Seen> seen;
    for (const auto& target : _engine.meterTargets()) {
        if (target.channels <= 0) continue;
        std::vector<ChannelLevel> levels(static_cast<std::size_t>(target.channels), {kSilenceDb, kSilenceDb});
        std::optional<RingSnapshot> ring;
        try {
            if (target.running) ring = readRing(target.streamId);
        } catch (const Failure&) {
            // An export whose header does not fit reads as silence.
        }
        if (ring && ring->periodSamples > 0 && ring->periodSamples <= ring->samples.size()) {
            Seen& last = seen[target.streamId] = _seen.count(target.streamId) ? _seen[target.streamId] : Seen{};
            if (last.writeOffset != ring->writeOffset || last.movedAt == std::chrono::steady_clock::time_point{}) {
                last.writeOffset = ring->writeOffset;
                last.movedAt = now;
            }
            if (now - last.movedAt < kStalledAfter) {
                const std::vector<float> newest(ring->samples.end() - static_cast<long>(ring->periodSamples),
                                                ring->samples.end());
                levels = measureLevels(newest, static_cast<unsigned>(target.channels));
            }
        }
        nlohmann::json channels = nlohmann::json::array();
        for (const auto& level : levels) channels.push_back({tenths(level.peakDb), tenths(level.rmsDb)});
        streams[std::to_string(target.streamId)] = channels;
    }
    _seen = std::move(seen);
    return streams.dump();
}

void Levels::run() {
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        std::string text = measure();
        {
            std::unique_lock<std::mutex> guard(_mutex);
            _text = std::move(text);
            ++_sequence;
            _changed.notify_all();
            next = std::max(next + kEvery, std::chrono::steady_clock::now());
            if (_changed.wait_until(guard, next, [&] { return _stopping; })) return;
        }
    }
}

} // namespace Ctl::Web
