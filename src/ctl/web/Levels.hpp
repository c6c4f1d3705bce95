#pragma once

#include "ctl/web/PanelEngine.hpp"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// The live meters: every 40 ms, each stream's newest exported period measured per channel (peak
// and RMS in dBFS), published as one JSON text for every open page. A stream that is stopped, or
// whose export has not moved for a while, reads as silence, so a meter never freezes on old sound.
namespace Ctl::Web {

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
    struct Seen {
        std::uint64_t writeOffset{0};
        std::chrono::steady_clock::time_point movedAt{};
    };

    void run();
    std::string measure();

    PanelEngine& _engine;
    std::thread _thread;
    std::map<int, Seen> _seen; // measuring thread only

    std::mutex _mutex;
    std::condition_variable _changed;
    bool _stopping{false};
    std::uint64_t _sequence{0};
    std::string _text{"{}"};
};

} // namespace Ctl::Web
