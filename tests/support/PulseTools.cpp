#include "PulseTools.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid{-1};
    int output{-1}; // read end of the child's stdout+stderr
};

Child spawnShell(const std::string& command, bool mergeStderr) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (mergeStderr)
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Its own process group, so a timeout kills the shell and whatever it started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return {};
    }
    return {pid, fds[0]};
}

// Reads until EOF, `limit` bytes, or the deadline.
void readUntil(int fd, std::string& into, std::size_t limit, Clock::time_point deadline) {
    char buffer[16384];
    while (into.size() < limit) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        const std::size_t want = std::min(sizeof buffer, limit - into.size());
        const ssize_t n = read(fd, buffer, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        into.append(buffer, static_cast<std::size_t>(n));
    }
}

int finishChild(Child& child, bool kill) {
    if (child.output >= 0) close(child.output);
    child.output = -1;
    if (child.pid <= 0) return -1;
    if (kill) ::kill(-child.pid, SIGTERM);
    int status = 0;
    // A child that ignores SIGTERM gets SIGKILL after a second.
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (waitpid(child.pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(-child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    child.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

std::string pulseServer() {
    const char* server = std::getenv("PULSE_SERVER");
    return server ? server : "";
}

std::string missingPulseServerMessage() {
    return "PULSE_SERVER is not set: these tests need the private PulseAudio. Run scripts/test.sh, or "
           "`source scripts/audio-servers.sh && start_private_pulse` before the test binary.";
}

CommandResult runCommand(const std::string& command, std::chrono::milliseconds timeout) {
    CommandResult result;
    Child child = spawnShell(command, true);
    if (child.pid <= 0) return result;
    const auto deadline = Clock::now() + timeout;
    readUntil(child.output, result.output, std::string::npos, deadline);
    result.status = finishChild(child, Clock::now() >= deadline);
    return result;
}

NullSink::NullSink(std::string sinkName, std::string description, unsigned int rate, unsigned int channels)
    : sinkName_(std::move(sinkName)), description_(std::move(description)) {
    const auto result = runCommand("pactl load-module module-null-sink sink_name=" + sinkName_ +
                                   " rate=" + std::to_string(rate) + " channels=" + std::to_string(channels) +
                                   " sink_properties=device.description=" + quote(description_));
    char* end = nullptr;
    const long module = std::strtol(result.output.c_str(), &end, 10);
    if (result.status != 0 || end == result.output.c_str()) {
        ADD_FAILURE() << "pactl could not load a null sink '" << sinkName_ << "': " << result.output;
        return;
    }
    module_ = module;
}

NullSink::~NullSink() { unload(); }

void NullSink::unload() {
    if (module_ < 0) return;
    const auto result = runCommand("pactl unload-module " + std::to_string(module_));
    if (result.status != 0) ADD_FAILURE() << "pactl could not unload module " << module_ << ": " << result.output;
    module_ = -1;
}

std::vector<float> recordMonitor(const std::string& sinkName, unsigned int channels, unsigned int rate,
                                 std::chrono::milliseconds duration) {
    const std::size_t frames = static_cast<std::size_t>(rate) * duration.count() / 1000;
    const std::size_t bytes = frames * channels * sizeof(float);
    Child child = spawnShell("exec parec --raw --format=float32le --latency-msec=20 --channels=" +
                                 std::to_string(channels) + " --rate=" + std::to_string(rate) + " -d " +
                                 quote(sinkName + ".monitor"),
                             false);
    std::string raw;
    if (child.pid > 0) {
        // Enough slack for the recording to start; it is real time, so it cannot come sooner.
        readUntil(child.output, raw, bytes, Clock::now() + duration + std::chrono::seconds(3));
        finishChild(child, true);
    }
    std::vector<float> samples(raw.size() / sizeof(float));
    std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
    return samples;
}

ToneEstimate estimateTone(const std::vector<float>& interleaved, unsigned int channels, unsigned int channel,
                          unsigned int rate, std::size_t skipFrames) {
    ToneEstimate estimate;
    const std::size_t frames = channels ? interleaved.size() / channels : 0;
    if (frames <= skipFrames + 1 || channel >= channels) return estimate;

    double sumSquares = 0;
    double firstCrossing = -1, lastCrossing = -1;
    std::size_t crossings = 0;
    float previous = interleaved[skipFrames * channels + channel];
    for (std::size_t frame = skipFrames + 1; frame < frames; ++frame) {
        const float sample = interleaved[frame * channels + channel];
        sumSquares += static_cast<double>(sample) * sample;
        if (previous < 0 && sample >= 0) {
            // Linear interpolation puts the crossing between the two samples.
            const double at = static_cast<double>(frame - 1) + previous / static_cast<double>(previous - sample);
            if (firstCrossing < 0) firstCrossing = at;
            lastCrossing = at;
            ++crossings;
        }
        previous = sample;
    }
    estimate.rms = std::sqrt(sumSquares / static_cast<double>(frames - skipFrames - 1));
    if (crossings >= 2 && lastCrossing > firstCrossing)
        estimate.frequency = static_cast<double>(crossings - 1) * rate / (lastCrossing - firstCrossing);
    return estimate;
}

ToneEstimate steadyTone(const std::vector<float>& interleaved, unsigned int channels, unsigned int channel,
                        unsigned int rate) {
    const std::size_t blockFrames = rate / 20;
    const std::size_t frames = channels ? interleaved.size() / channels : 0;
    std::vector<double> levels, frequencies;
    for (std::size_t start = 0; blockFrames > 0 && start + blockFrames <= frames; start += blockFrames) {
        const auto first = interleaved.begin() + static_cast<std::ptrdiff_t>(start * channels);
        const std::vector<float> block(first, first + static_cast<std::ptrdiff_t>(blockFrames * channels));
        const ToneEstimate estimate = estimateTone(block, channels, channel, rate);
        if (estimate.rms < 1e-4) continue;  // the server delivered nothing here
        levels.push_back(estimate.rms);
        frequencies.push_back(estimate.frequency);
    }
    ToneEstimate steady;
    if (levels.empty()) return steady;
    auto median = [](std::vector<double>& values) {
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
        return values[values.size() / 2];
    };
    steady.rms = median(levels);
    steady.frequency = median(frequencies);
    return steady;
}

} // namespace testsupport
