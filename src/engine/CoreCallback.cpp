// The real-time side of the engine: one call per period on each running stream's audio thread.
// No period, the first included, takes a lock, allocates or makes a system call: it reads only what
// the control side published and prepared for it (effects, the export region) before the stream
// started. On overflow, underflow or request it only copies the period for the stream's snapshot
// writer, which writes the line and the file.

#include "effects/Effect.hpp"
#include "engine/ChannelRouting.hpp"
#include "engine/Core.hpp"
#include "engine/Stream.hpp"

namespace {

void exportPeriod(Stream& stream, const float* output, unsigned int nFrames, unsigned int nChannels) {
    const std::size_t bytes = static_cast<std::size_t>(nFrames) * nChannels * sizeof(float);
    // A region that could not be made was reported when the stream opened.
    if (stream.realtime().exportFailed || bytes == 0 || !stream.isSharedMemoryStarted()) return;
    stream.writeSharedMemory(output, bytes);
}

} // namespace

int Core::callback(void* outputBuffer, void* inputBuffer, unsigned int nFrames, double streamTime,
                   unsigned int status, void* userData) {
    auto* stream = static_cast<Stream*>(userData);
    auto* input = static_cast<float*>(inputBuffer);
    auto* output = static_cast<float*>(outputBuffer);
    auto& realtime = stream->realtime();
    const unsigned int nChannels = realtime.nChannelsOutput;
    const unsigned int sampleRate = realtime.sampleRate;

    // Overflow or underflow: the line and the snapshot are written by the stream's snapshot writer.
    if (status >= 1 && status <= 3) stream->captureSnapshot(input, output, nFrames, streamTime, status, __LINE__);

    applyRoutingChannels(input, output, nFrames, stream);

    {
        SnapshotReader<EffectChain> chain(realtime.effects, realtime.effectsSlot);
        for (const auto& effect : *chain) {
            if (!effect->getEnable()) continue;
            // A control thread may be copying this effect's state (group copies) while it runs.
            Effect::ProcessingScope scope(*effect);
            effect->process(output, output, nChannels, nFrames, sampleRate);
        }
    }

    {
        // The stream's own instances of the master effects: only this thread processes them.
        SnapshotReader<EffectChain> master(realtime.masterEffects, realtime.masterSlot);
        runMasterChain(*master, output, output, nChannels, nFrames, sampleRate);
    }

    exportPeriod(*stream, output, nFrames, nChannels);

    if (stream->getMustDoSnapshot()) stream->captureSnapshot(input, output, nFrames, streamTime, status, 0);
    return 0;
}

int Core::applyRoutingChannels(float* input, float* output, unsigned int nFrames, Stream* stream) {
    auto& realtime = stream->realtime();
    SnapshotReader<ChannelRedirects> redirects(realtime.redirects, realtime.redirectsSlot);
    mixChannelRedirects(input, output, nFrames, realtime.nChannelsInput, realtime.nChannelsOutput, *redirects);
    return 0;
}
