#include "engine/SnapshotWriter.hpp"

#include "utilities/Log.hpp"

#include <algorithm>
#include <cstring>
#include <exception>

namespace {

void copyPeriod(std::vector<float>& into, const float* from, std::size_t values) noexcept {
    const std::size_t copied = from ? std::min(values, into.size()) : 0;
    if (copied) std::memcpy(into.data(), from, copied * sizeof(float));
    std::fill(into.begin() + static_cast<std::ptrdiff_t>(copied), into.end(), 0.0f);
}

long long wallClockMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

namespace {

Utilities::RequestBudget xrunBudget(SnapshotWriter::Clock::time_point now) {
    return {1.0 / std::chrono::duration<double>(SnapshotWriter::kXrunInterval).count(), SnapshotWriter::kXrunBurst,
            now};
}

} // namespace

SnapshotWriter::SnapshotWriter(Write write, Poll poll, Now now)
    : write(std::move(write)), poll(std::move(poll)), now(std::move(now)),
      budgets{xrunBudget(this->now()), xrunBudget(this->now())} {}

SnapshotWriter::~SnapshotWriter() { stop(); }

void SnapshotWriter::prepare(SnapshotHeader newHeader) {
    drain();
    std::lock_guard<std::mutex> guard(mutex);
    record.input.assign(std::size_t(newHeader.rowLength) * newHeader.nChannelsInput, 0.0f);
    record.output.assign(std::size_t(newHeader.rowLength) * newHeader.nChannelsOutput, 0.0f);
    header = std::move(newHeader);
    if (!running.load(std::memory_order_relaxed)) {
        writer.start({.onWake = [this] { look(); }, .tick = kPollInterval, .onTick = [this] { look(); }});
        running.store(true, std::memory_order_release);
    }
}

bool SnapshotWriter::capture(const float* input, std::size_t inputValues, const float* output,
                             std::size_t outputValues, double streamTime, unsigned int status,
                             int reportLine) noexcept {
    if (reportLine != 0 && (status & ~heldStatus.load(std::memory_order_acquire)) == 0) {
        unwritten.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (!running.load(std::memory_order_acquire) || state.load(std::memory_order_acquire) != kFree) {
        if (reportLine != 0) skipped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    record.streamTime = streamTime;
    record.status = status;
    record.reportLine = reportLine;
    copyPeriod(record.input, input, inputValues);
    copyPeriod(record.output, output, outputValues);
    // The writer finds it at its next look.
    state.store(kCaptured, std::memory_order_release);
    return true;
}

void SnapshotWriter::look() {
    std::lock_guard<std::mutex> guard(mutex);
    if (const unsigned int held = heldStatus.load(std::memory_order_relaxed)) {
        const auto at = now();
        for (unsigned int bit = 0; bit < 2; ++bit)
            if ((held & (1u << bit)) && at >= heldUntil[bit])
                heldStatus.fetch_and(~(1u << bit), std::memory_order_release);
    }
    if (state.load(std::memory_order_acquire) == kCaptured) {
        record.milliseconds = wallClockMilliseconds();
        record.unwrittenBefore = 0;
        if (record.reportLine != 0) record.unwrittenBefore = unwritten.exchange(0, std::memory_order_relaxed);
        try {
            write(header, record);
        } catch (const std::exception& failure) {
            Utilities::error(std::string("Snapshot failed: ") + failure.what(), "doSnapshot", __LINE__);
        }
        // Held before the space is free again, so no overflow slips in between.
        if (record.reportLine != 0) {
            const auto at = now();
            unsigned int spent = 0;
            for (unsigned int bit = 0; bit < 2; ++bit) {
                if (!(record.status & (1u << bit))) continue;
                budgets[bit].take(at);
                heldUntil[bit] = budgets[bit].nextShare(at);
                if (heldUntil[bit] > at) spent |= 1u << bit;
            }
            heldStatus.fetch_or(spent, std::memory_order_release);
        }
        state.store(kFree, std::memory_order_release);
        if (const unsigned long count = skipped.exchange(0, std::memory_order_relaxed))
            Utilities::error("Skipped " + std::to_string(count) +
                                 " overflow or underflow snapshot(s) of stream " + header.streamName +
                                 " while one was being written",
                             "doSnapshot", __LINE__);
    }
    if (poll) {
        try {
            poll(header);
        } catch (const std::exception&) {
            // Only reports run there; the next look tries again.
        }
    }
}

void SnapshotWriter::drain() {
    if (!running.load(std::memory_order_acquire)) return;
    writer.wake();
    writer.drain();
}

void SnapshotWriter::stop() {
    if (!running.load(std::memory_order_acquire)) return;
    running.store(false, std::memory_order_release);
    // One last look writes what was captured.
    writer.wake();
    writer.drain();
    writer.stop();
}
