#include "ctl/web/Levels.hpp"

#include "ctl/Failure.hpp"
#include "ctl/Meter.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

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

std::size_t RingFollower::periodsWritten(const RingSnapshot& ring, unsigned channels) const {
    const std::size_t period = ring.periodSamples, total = ring.samples.size();
    if (_channels != channels || _last.periodSamples != period || _last.samples.size() != total) return 1;
    const std::uint64_t slot = period * sizeof(float), bytes = total * sizeof(float);
    const auto written = static_cast<std::size_t>((ring.writeOffset + bytes - _last.writeOffset) % bytes / slot);
    // The offset tells the count only up to whole turns of the ring: exactly that many were written
    // when the periods before them are still the ones the last reading ended with, else the ring
    // came round and all of it is new. Compared bitwise, so NaNs do not make a still ring look moved.
    const std::size_t kept = total - written * period;
    const bool turned = std::memcmp(ring.samples.data(), _last.samples.data() + (total - kept),
                                    kept * sizeof(float)) != 0;
    return turned ? total / period : written;
}

std::vector<ChannelLevel> RingFollower::read(const RingSnapshot& ring, unsigned channels, TimePoint now) {
    const std::size_t written = periodsWritten(ring, channels);
    if (written > 0) {
        const std::size_t fresh = written * ring.periodSamples;
        _levels = measureLevels(std::vector<float>(ring.samples.end() - static_cast<long>(fresh), ring.samples.end()),
                                channels);
        _movedAt = now;
    }
    _last = ring;
    _channels = channels;
    if (now - _movedAt >= kStalledAfter) return std::vector<ChannelLevel>(channels, {kSilenceDb, kSilenceDb});
    return _levels;
}

std::string Levels::measure() {
    nlohmann::json streams = nlohmann::json::object();
    const auto now = std::chrono::steady_clock::now();
    std::map<int, RingFollower> followers;
    for (const auto& target : _engine.meterTargets()) {
        if (target.channels <= 0) continue;
        const auto channels = static_cast<unsigned>(target.channels);
        std::vector<ChannelLevel> levels(channels, {kSilenceDb, kSilenceDb});
        std::optional<RingSnapshot> ring;
        try {
            if (target.running) ring = readRing(target.streamId);
        } catch (const Failure&) {
            // An export whose header does not fit reads as silence.
        }
        if (ring && ring->periodSamples > 0 && ring->periodSamples <= ring->samples.size()) {
            auto known = _followers.find(target.streamId);
            RingFollower& follower = followers[target.streamId] =
                known != _followers.end() ? std::move(known->second) : RingFollower{};
            levels = follower.read(*ring, channels, now);
        }
        nlohmann::json list = nlohmann::json::array();
        for (const auto& level : levels) list.push_back({tenths(level.peakDb), tenths(level.rmsDb)});
        streams[std::to_string(target.streamId)] = list;
    }
    _followers = std::move(followers);
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
