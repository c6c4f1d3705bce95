#pragma once

#include "utilities/RequestBudget.hpp"
#include "utilities/WorkerQueue.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// What a snapshot file says about its stream, taken when the stream opens.
struct SnapshotHeader {
    std::string streamName;
    std::string inputName, outputName;
    unsigned int streamId{0};
    unsigned int inputId{0}, outputId{0};
    unsigned int sampleRate{0}, bufferFrames{0};
    unsigned int nChannelsInput{0}, nChannelsOutput{0};
    unsigned int rowLength{0}; // values per row: the frames of the period the library delivers
};

// One period copied by the audio callback, with the callback's time and status.
struct SnapshotRecord {
    long long milliseconds{0}; // wall-clock time, taken by the writer when it writes the snapshot
    double streamTime{0.0};
    unsigned int status{0};
    int reportLine{0}; // the callback's line that reported an overflow or underflow; 0 for a request
    // Overflows and underflows since the previous such snapshot that got none (see kXrunBurst).
    unsigned long unwrittenBefore{0};
    std::vector<float> input, output;
};

// Writes one stream's snapshots off the audio thread. The callback copies a period into space sized
// when the stream opened and marks it captured; the writer's thread looks every kPollInterval and
// writes the file and the log lines. Waking it instead would be a system call on the audio thread.
// One snapshot at a time: while one waits or is being written, a further overflow or underflow
// snapshot is only counted (one line afterwards says how many), and a request is left for a later
// period. Overflow snapshots come at most kXrunBurst at once and one per kXrunInterval on average
// after that; the rest are only counted, and likewise underflows: a device that keeps failing would
// otherwise fill the disk and the log, while an underflow after an overflow (the other side of the
// stream) is still told. The audio side takes no lock, allocates nothing, makes no I/O and no system call.
class SnapshotWriter {
public:
    using Write = std::function<void(const SnapshotHeader&, const SnapshotRecord&)>;
    // Runs on the writer's thread at every look, after any snapshot is written.
    using Poll = std::function<void(const SnapshotHeader&)>;
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // A snapshot's file may be written this much after its period; an idle writer wakes as often
    // (each stream has one: 10 ms cost a route a third more CPU than it needs).
    static constexpr std::chrono::milliseconds kPollInterval{100};
    // Overflow snapshots a stream writes at most at once (one reporting both counts as each), then
    // one per interval; underflows alike. A server may underflow up to three times as it sets a
    // stream up (PipeWire's PulseAudio server does, even at 1024 frames), and a stall soon after
    // must still be told. Requested snapshots are not held.
    static constexpr int kXrunBurst = 5;
    static constexpr std::chrono::seconds kXrunInterval{60};

    // `now` is the writer's clock (tests give their own).
    explicit SnapshotWriter(Write write, Poll poll = {}, Now now = Clock::now);
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

    // Control side: waits until every snapshot captured so far is written and the writer has looked
    // once more (Poll) since the call.
    void drain();
    // Writes what was captured, then lets the thread go.
    void stop();

private:
    // The writer's thread: writes what was captured, then calls Poll.
    void look();

    enum : int { kFree, kCaptured };

    Write write;
    Poll poll;
    SnapshotHeader header;
    SnapshotRecord record;
    std::atomic<int> state{kFree};
    std::atomic<unsigned long> skipped{0};
    // Status bits (overflow 1, underflow 2) the writer holds once their budget is spent, each until
    // it has a share again; a report of held bits only is counted in `unwritten`.
    std::atomic<unsigned int> heldStatus{0};
    std::atomic<unsigned long> unwritten{0};
    Now now;
    // Per status bit; the writer's alone.
    Utilities::RequestBudget budgets[2];
    Clock::time_point heldUntil[2];
    std::atomic<bool> running{false};
    // Between the writer's look and prepare().
    std::mutex mutex;
    // Looks every kPollInterval, and at once when the control side asks (drain, stop).
    Utilities::WorkerQueue writer;
};
