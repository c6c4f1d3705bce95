// Diagnostic snapshots: one period of one stream written to a text file in the working directory.
// The audio callback only copies the period (captureSnapshot); the stream's snapshot writer thread
// writes the file and the log lines. doSnapshot writes at once, on the caller's thread. The writer
// also reports the blocks the effects passed through unprepared.

#include "effects/Effect.hpp"
#include "engine/SnapshotAllowance.hpp"
#include "engine/Stream.hpp"
#include "utilities/Log.hpp"

#include <chrono>
#include <fstream>

namespace {

void writeRows(std::ofstream& file, const float* buffer, unsigned int rows, unsigned int rowLength) {
    for (unsigned int row = 0; row < rows; ++row) {
        for (unsigned int i = 0; i < rowLength; ++i) file << (buffer ? buffer[row * rowLength + i] : 0.0f) << " ";
        file << "\n";
    }
}

// The lines around the rows, effects included, allowed for in a snapshot's size.
constexpr std::size_t kLargestSnapshotHead = 4096;

// A burst of unprepared blocks ends when none came for this long: longer than any period, so a
// stream that passes every block through gets one line, not one per period.
constexpr std::chrono::seconds kUnpreparedBurstGap{2};

void reportStatus(unsigned int status, int line, unsigned long unwrittenBefore) {
    const std::string held = unwrittenBefore == 0 ? std::string()
                                                  : " (" + std::to_string(unwrittenBefore) +
                                                        " more since the previous snapshot, not written)";
    if (status == audio::kInputOverflow)
        Utilities::error("Input overflow" + held, "callback", line);
    else if (status == audio::kOutputUnderflow)
        Utilities::error("Output underflow" + held, "callback", line);
    else
        Utilities::error("Input overflow and output underflow" + held, "callback", line);
}

} // namespace

SnapshotHeader Stream::snapshotHeader() const {
    SnapshotHeader header;
    header.streamName = getName();
    header.inputName = getInputDeviceName();
    header.outputName = getOutputDeviceName();
    header.streamId = streamId;
    header.inputId = inputDeviceId;
    header.outputId = outputDeviceId;
    header.sampleRate = sampleRate;
    header.bufferFrames = bufferFrames;
    header.nChannelsInput = realtimeState.nChannelsInput;
    header.nChannelsOutput = realtimeState.nChannelsOutput;
    // Rows hold as many values as the period really has, never more than its buffers.
    header.rowLength = settledBufferFrames != 0 ? settledBufferFrames : bufferFrames;
    return header;
}

void Stream::prepareSnapshots() { snapshotWriter.prepare(snapshotHeader()); }

bool Stream::captureSnapshot(const float* inputBuffer, const float* outputBuffer, unsigned int nFrames,
                             double streamTime, unsigned int status, int reportLine) noexcept {
    const bool captured = snapshotWriter.capture(
        inputBuffer, std::size_t(nFrames) * realtimeState.nChannelsInput, outputBuffer,
        std::size_t(nFrames) * realtimeState.nChannelsOutput, streamTime, status, reportLine);
    // Each snapshot answers the pending request; a request that found the writer busy waits.
    if (captured) setMustDoSnapshot(false);
    return captured;
}

int Stream::writeSnapshotFile(const SnapshotHeader& header, const float* inputBuffer, const float* outputBuffer,
                              double streamTime, unsigned int status, long long milliseconds) {
    const std::string fileName =
        "snaphot" + std::to_string(streamId) + "-" + std::to_string(milliseconds) + ".txt";
    // At most what the rows can take (a value is written in at most 13 characters and a blank) and
    // the header's lines.
    const std::size_t largest =
        kLargestSnapshotHead + std::size_t(14) * header.rowLength * (header.nChannelsInput + header.nChannelsOutput);
    if (const unsigned long unwritten = SnapshotAllowance::processWide().take(largest)) {
        Utilities::error("Snapshot of stream " + header.streamName + " not written: snapshots have written " +
                             std::to_string(SnapshotAllowance::kBytesPerMinute >> 20) +
                             " MiB in the last minute (" + std::to_string(unwritten) + " left unwritten so far)",
                         "doSnapshot", __LINE__);
        return -1;
    }
    std::ofstream file(fileName, std::ios::app);
    if (!file.is_open()) {
        Utilities::error("Could not create snapshot file: " + fileName, "doSnapshot", __LINE__);
        return -1;
    }
    file << "Stream " << header.streamName << " snapshot\n"
         << "Stream time: " << streamTime << "\n"
         << "Status: " << status << "\n\n"
         << "Input device: " << header.inputName << " (" << header.inputId << ")\n"
         << "Output device: " << header.outputName << " (" << header.outputId << ")\n"
         << "Sample rate: " << header.sampleRate << "\n"
         << "Buffer frames: " << header.bufferFrames << "\n\n"
         << "Input buffer:\n";
    writeRows(file, inputBuffer, header.nChannelsInput, header.rowLength);
    file << "Output buffer:\n";
    writeRows(file, outputBuffer, header.nChannelsOutput, header.rowLength);
    file << "\nEffects:\n";
    {
        SnapshotReader<EffectChain> chain(realtimeState.effects, snapshotEffectsSlot);
        for (const auto& effect : *chain) file << effect->getSnapshotDump() << "\n";
    }

    file.close();
    if (file.fail()) {
        Utilities::error("Could not close snapshot file: " + fileName, "doSnapshot", __LINE__);
        return -1;
    }
    Utilities::log("Snapshot done", "doSnapshot", __LINE__);
    return 0;
}

void Stream::writeCapturedSnapshot(const SnapshotHeader& header, const SnapshotRecord& record) {
    if (record.reportLine != 0) reportStatus(record.status, record.reportLine, record.unwrittenBefore);
    writeSnapshotFile(header, record.input.data(), record.output.data(), record.streamTime, record.status,
                      record.milliseconds);
}

void Stream::reportUnpreparedBlocks(const SnapshotHeader& header) {
    unsigned long blocks = 0;
    {
        SnapshotReader<EffectChain> chain(realtimeState.effects, unpreparedEffectsSlot);
        for (const auto& effect : *chain) blocks += effect->takeUnpreparedBlocks();
    }
    {
        SnapshotReader<EffectChain> chain(realtimeState.masterEffects, unpreparedMasterSlot);
        for (const auto& effect : *chain) blocks += effect->takeUnpreparedBlocks();
    }
    if (blocks == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (!unpreparedBurst || now - lastUnpreparedBlocks >= kUnpreparedBurstGap)
        Utilities::error("Stream " + std::to_string(header.streamId) + ": " + std::to_string(blocks) +
                             " blocks passed through unprocessed: an effect was not prepared for their format",
                         "reportUnpreparedBlocks", __LINE__);
    unpreparedBurst = true;
    lastUnpreparedBlocks = now;
}

int Stream::doSnapshot(float* inputBuffer, float* outputBuffer, Stream* stream, double streamTime,
                       unsigned int status) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const int result = stream->writeSnapshotFile(stream->snapshotHeader(), inputBuffer, outputBuffer, streamTime,
                                                 status, now);
    setMustDoSnapshot(false);
    return result;
}
