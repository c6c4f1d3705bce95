// A diagnostic snapshot: one period of one stream written to a text file in the working directory.
// It runs on the audio thread, on request or after an overflow or underflow only.

#include "effects/Effect.hpp"
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

} // namespace

int Stream::doSnapshot(float* inputBuffer, float* outputBuffer, Stream* stream, double streamTime,
                       unsigned int status) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const std::string fileName = "snaphot" + std::to_string(stream->getStreamId()) + "-" + std::to_string(now) + ".txt";
    std::ofstream file(fileName, std::ios::app);
    if (!file.is_open()) {
        Utilities::error("Could not create snapshot file: " + fileName, "doSnapshot", __LINE__);
        setMustDoSnapshot(false);
        return -1;
    }

    // Rows hold as many values as the period really has, never more than its buffers.
    const unsigned int rowLength =
        stream->getSettledBufferFrames() != 0 ? stream->getSettledBufferFrames() : stream->getBufferFrames();
    auto& realtime = stream->realtime();
    file << "Stream " << stream->getName() << " snapshot\n"
         << "Stream time: " << streamTime << "\n"
         << "Status: " << status << "\n\n"
         << "Input device: " << stream->getInputDeviceName() << " (" << stream->getInputDeviceId() << ")\n"
         << "Output device: " << stream->getOutputDeviceName() << " (" << stream->getOutputDeviceId() << ")\n"
         << "Sample rate: " << stream->getSampleRate() << "\n"
         << "Buffer frames: " << stream->getBufferFrames() << "\n\n"
         << "Input buffer:\n";
    writeRows(file, inputBuffer, realtime.nChannelsInput, rowLength);
    file << "Output buffer:\n";
    writeRows(file, outputBuffer, realtime.nChannelsOutput, rowLength);
    file << "\nEffects:\n";
    {
        SnapshotReader<EffectChain> chain(realtime.effects, realtime.effectsSlot);
        for (const auto& effect : *chain) file << effect->getSnapshotDump() << "\n";
    }

    file.close();
    if (file.fail()) {
        Utilities::error("Could not close snapshot file: " + fileName, "doSnapshot", __LINE__);
        setMustDoSnapshot(false);
        return -1;
    }
    setMustDoSnapshot(false);
    Utilities::log("Snapshot done", "doSnapshot", __LINE__);
    return 0;
}
