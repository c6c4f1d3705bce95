#include "ctl/MeterScreen.hpp"

#include "ctl/Failure.hpp"
#include "ctl/Output.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <csignal>
#include <map>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace Ctl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBarWidth = 40;
constexpr int kRefreshMs = 50; // about 20 screens a second
// Audio servers may deliver periods in bursts about a second apart.
constexpr auto kStalledAfter = std::chrono::seconds(3);

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

void writeAll(const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + written, text.size() - written);
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

// Keys without Enter and without echo, the screen of its own and no cursor, for as long as the
// meter runs; Ctrl-C still raises SIGINT, which ends the loop so this is undone.
class TerminalGuard {
public:
    TerminalGuard() {
        if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &_saved) == 0) {
            termios raw = _saved;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            _restore = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
        _screen = ::isatty(STDOUT_FILENO);
        if (_screen) writeAll("\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J");
    }
    ~TerminalGuard() {
        if (_screen) writeAll("\x1b[?25h\x1b[?1049l");
        if (_restore) ::tcsetattr(STDIN_FILENO, TCSANOW, &_saved);
    }
    TerminalGuard(const TerminalGuard&) = delete;
    TerminalGuard& operator=(const TerminalGuard&) = delete;

private:
    termios _saved{};
    bool _restore{false};
    bool _screen{false};
};

// True when q was typed. A closed standard input is no longer watched.
bool quitTyped(bool& inputOpen, int waitMs) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (!inputOpen) {
        ::poll(nullptr, 0, waitMs);
        return false;
    }
    if (::poll(&input, 1, waitMs) <= 0) return false;
    char keys[64];
    const ssize_t n = ::read(STDIN_FILENO, keys, sizeof(keys));
    if (n <= 0) {
        inputOpen = n < 0 && errno == EINTR;
        return false;
    }
    return std::any_of(keys, keys + n, [](char key) { return key == 'q' || key == 'Q'; });
}

} // namespace

std::string decibelText(double db) { return db <= kSilenceDb ? "-inf" : fixed(db, 1); }

std::string levelBar(const ChannelLevel& level, int width) {
    auto cells = [&](double db) {
        const double fraction = std::clamp((db + kMeterRangeDb) / kMeterRangeDb, 0.0, 1.0);
        return static_cast<int>(std::lround(fraction * width));
    };
    const int filled = cells(level.rmsDb), peak = cells(level.peakDb);
    std::string bar(static_cast<std::size_t>(width), ' ');
    std::fill_n(bar.begin(), filled, '#');
    if (peak > filled) bar[static_cast<std::size_t>(peak - 1)] = '|';
    return "[" + bar + "]";
}

std::string renderMeter(const std::vector<StreamLevels>& streams, bool streamGiven) {
    std::string screen = "vantrell meter   q or Ctrl-C quits   bars: RMS '#', peak '|', " +
                         fixed(-kMeterRangeDb, 0) + " .. 0 dBFS\n\n";
    if (streams.empty() && !streamGiven) screen += "no stream exports audio\n";
    for (const auto& stream : streams) {
        screen += "stream " + std::to_string(stream.id);
        if (!stream.exported) {
            screen += "  no audio exported (not running?)\n\n";
            continue;
        }
        screen += stream.flowing ? "\n" : "  (stopped: last audio shown)\n";
        for (std::size_t c = 0; c < stream.channels.size(); ++c) {
            const auto& level = stream.channels[c];
            std::string peak = decibelText(level.peakDb), rms = decibelText(level.rmsDb);
            screen += "  ch " + std::to_string(c) + "  " + levelBar(level, kBarWidth) + "  peak " +
                      std::string(6 - std::min<std::size_t>(6, peak.size()), ' ') + peak + "  rms " +
                      std::string(6 - std::min<std::size_t>(6, rms.size()), ' ') + rms + " dBFS\n";
        }
        screen += "\n";
    }
    return screen;
}

int runLiveMeter(std::optional<int> streamId, unsigned channels) {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);

    struct Seen {
        std::uint64_t offset{0};
        Clock::time_point changed;
    };
    std::map<int, Seen> seen;
    bool inputOpen = true;
    TerminalGuard terminal;
    while (!stopRequested) {
        std::vector<StreamLevels> streams;
        const auto now = Clock::now();
        for (int id : streamId ? std::vector<int>{*streamId} : exportedStreams()) {
            StreamLevels levels;
            levels.id = id;
            if (const auto ring = readRing(id)) {
                levels.exported = true;
                levels.channels = measureLevels(ring->samples, channels);
                // Taken as flowing until it has had time to show otherwise.
                auto [entry, added] = seen.try_emplace(id, Seen{ring->writeOffset, now});
                if (entry->second.offset != ring->writeOffset) entry->second = {ring->writeOffset, now};
                levels.flowing = now - entry->second.changed < kStalledAfter;
            }
            streams.push_back(std::move(levels));
        }
        // Home, the screen with each line's old tail cleared, then the rest cleared.
        std::string frame = "\x1b[H";
        const std::string text = renderMeter(streams, streamId.has_value());
        for (std::size_t start = 0; start < text.size();) {
            const auto end = text.find('\n', start);
            frame += text.substr(start, end - start) + "\x1b[K\r\n";
            start = end + 1;
        }
        writeAll(frame + "\x1b[J");
        if (quitTyped(inputOpen, kRefreshMs)) break;
    }
    return kOk;
}

} // namespace Ctl
