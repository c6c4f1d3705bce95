#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <future>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

// What a snapshot file says about its stream, taken when the stream opens.
struct SnapshotHeader {
    std::string streamName;
    std::string inputName, outputName;
    unsigned int inputId{0}, outputId{0};
    unsigned int sampleRate{0}, bufferFrames{0};
    unsigned int nChannelsInput{0}, nChannelsOutput{0};
    unsigned int rowLength{0}; // values per row: the frames of the period the library delivers
};

// One period copied by the audio callback, with the callback's time and status.
struct SnapshotRecord {
    long long milliseconds{0};
    double streamTime{0.0};
    unsigned int status{0};
    int reportLine{0}; // the callback's line that reported an overflow or underflow; 0 for a request
    std::vector<float> input, output;
};

// Writes one stream's snapshots off the audio thread. The callback copies a period into space sized
// when the stream opened and wakes the writer's thread, which writes the file and the log lines.
// One snapshot at a time: while one waits or is being written, a further overflow or underflow
// snapshot is only counted (one line afterwards says how many), and a request is left for a later
// period. The audio side takes no lock, allocates nothing and makes no I/O.
class SnapshotWriter {
public:
    using Write = std::function<void(const SnapshotHeader&, const SnapshotRecord&)>;

    explicit SnapshotWriter(Write write);
    ~SnapshotWriter();
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;

    // Control side, while no audio thread runs for the stream: waits for a snapshot still being
    // written, then sizes the space for the new format and takes a thread on first use.
    void prepare(SnapshotHeader header);

    // Audio thread. Copies the period (at most the prepared length; a missing buffer reads as
    // silence) and returns true, or returns false when a snapshot is already under way, counting
    // it when it reports an overflow or underflow (reportLine != 0).
    bool capture(const float* input, std::size_t inputValues, const float* output, std::size_t outputValues,
                 double streamTime, unsigned int status, int reportLine) noexcept;

    // Waits until every captured snapshot is written.
    void drain();
    // Writes what was captured, then lets the thread go.
    void stop();

private:
    void run();

    enum : int { kFree, kCaptured };

    Write write;
    SnapshotHeader header;
    SnapshotRecord record;
    std::atomic<int> state{kFree};
    std::atomic<unsigned long> skipped{0};
    std::counting_semaphore<> wake{0};
    std::mutex mutex;
    std::condition_variable written;
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
    // Valid while the writer's thread runs it (a parked thread, see Utilities::runOnParkedThread).
    std::future<void> finished;
};
