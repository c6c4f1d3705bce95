#include "engine/SnapshotWriter.hpp"

#include "utilities/Log.hpp"
#include "utilities/ParkedThreads.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>

namespace {

void copyPeriod(std::vector<float>& into, const float* from, std::size_t values) noexcept {
    const std::size_t copied = from ? std::min(values, into.size()) : 0;
    if (copied) std::memcpy(into.data(), from, copied * sizeof(float));
    std::fill(into.begin() + static_cast<std::ptrdiff_t>(copied), into.end(), 0.0f);
}

} // namespace

SnapshotWriter::SnapshotWriter(Write write) : write(std::move(write)) {}

SnapshotWriter::~SnapshotWriter() { stop(); }

void SnapshotWriter::prepare(SnapshotHeader newHeader) {
    drain();
    std::lock_guard<std::mutex> guard(mutex);
    record.input.assign(std::size_t(newHeader.rowLength) * newHeader.nChannelsInput, 0.0f);
    record.output.assign(std::size_t(newHeader.rowLength) * newHeader.nChannelsOutput, 0.0f);
    header = std::move(newHeader);
    if (!finished.valid()) {
        stopping.store(false);
        finished = Utilities::runOnParkedThread([this] { run(); });
        running.store(true, std::memory_order_release);
    }
}

bool SnapshotWriter::capture(const float* input, std::size_t inputValues, const float* output,
                             std::size_t outputValues, double streamTime, unsigned int status,
                             int reportLine) noexcept {
    if (!running.load(std::memory_order_acquire) || state.load(std::memory_order_acquire) != kFree) {
        if (reportLine != 0) skipped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    record.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    record.streamTime = streamTime;
    record.status = status;
    record.reportLine = reportLine;
    copyPeriod(record.input, input, inputValues);
    copyPeriod(record.output, output, outputValues);
    state.store(kCaptured, std::memory_order_release);
    wake.release();
    return true;
}

void SnapshotWriter::run() {
    for (;;) {
        wake.acquire();
        if (state.load(std::memory_order_acquire) == kCaptured) {
            std::unique_lock<std::mutex> guard(mutex);
            try {
                write(header, record);
            } catch (const std::exception& failure) {
                Utilities::error(std::string("Snapshot failed: ") + failure.what(), "doSnapshot", __LINE__);
            }
            state.store(kFree, std::memory_order_release);
            const std::string name = header.streamName;
            guard.unlock();
            written.notify_all();
            if (const unsigned long count = skipped.exchange(0, std::memory_order_relaxed))
                Utilities::error("Skipped " + std::to_string(count) +
                                     " overflow or underflow snapshot(s) of stream " + name +
                                     " while one was being written",
                                 "doSnapshot", __LINE__);
        }
        if (stopping.load()) return;
    }
}

void SnapshotWriter::drain() {
    std::unique_lock<std::mutex> guard(mutex);
    written.wait(guard, [this] {
        return state.load(std::memory_order_acquire) == kFree || !running.load(std::memory_order_acquire);
    });
}

void SnapshotWriter::stop() {
    if (!finished.valid()) return;
    running.store(false, std::memory_order_release);
    stopping.store(true);
    wake.release();
    finished.get();
}
