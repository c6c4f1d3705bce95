#pragma once

#include "ctl/Meter.hpp"
#include "ctl/web/PanelEngine.hpp"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// The live meters: every 40 ms, the periods each stream exported since the last reading measured
// per channel (peak and RMS in dBFS), published as one JSON text for every open page. A stream that
// is stopped, or whose export has not moved for a while, reads as silence, so a meter never freezes
// on old sound.
namespace Ctl::Web {

// One stream's export from reading to reading. Each reading measures the periods written since the
// previous one, as many as the ring still holds, so a short peak between two readings is not missed.
class RingFollower {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The levels of what `ring` gained since the last reading: the previous reading's again when
    // no period arrived, silence once none has arrived for a while. The first reading, and one
    // after the stream changed its shape, measures the newest period.
    std::vector<ChannelLevel> read(const RingSnapshot& ring, unsigned channels, TimePoint now);

private:
    // How many of `ring`'s newest periods came after the last reading.
    std::size_t periodsWritten(const RingSnapshot& ring, unsigned channels) const;

    RingSnapshot _last;
    unsigned _channels{0};
    std::vector<ChannelLevel> _levels;
    TimePoint _movedAt{};
};

class Levels {
public:
    explicit Levels(PanelEngine& engine) : _engine(engine) {}
    ~Levels() { stop(); }
    Levels(const Levels&) = delete;
    Levels& operator=(const Levels&) = delete;

    void start();
    void stop();
    // The reading once its sequence is past `seen` (or `wait` passes), with its sequence.
    std::pair<std::uint64_t, std::string> after(std::uint64_t seen, std::chrono::milliseconds wait);

private:
    void run();
    std::string measure();

    PanelEngine& _engine;
    std::thread _thread;
    std::map<int, RingFollower> _followers; // measuring thread only

    std::mutex _mutex;
    std::condition_variable _changed;
    bool _stopping{false};
    std::uint64_t _sequence{0};
    std::string _text{"{}"};
};

} // namespace Ctl::Web
