#pragma once

#include "effects/Effect.hpp"
#include "engine/ChannelRouting.hpp"
#include "engine/DeviceEventWorker.hpp"
#include "engine/SharedMemory.hpp"
#include "engine/SnapshotWriter.hpp"
#include "audio/BackEnd.hpp"
#include "realtime/RealtimeSnapshot.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class Core;


using EffectChain = std::vector<std::shared_ptr<Effect>>;

// What a stream takes from the engine that creates it. Without a back end the stream has no device
// stream to open.
struct StreamServices {
    // Handed to the five-band equalizer's control, which drives the stream through the engine's
    // group-aware operations; the stream never calls it.
    Core* owner{nullptr};
    std::shared_ptr<audio::BackEnd> backEnd;
    audio::PeriodCallback callback{nullptr};
    // Where a lost device is reported; the report is handled off the library's thread.
    std::weak_ptr<DeviceEventWorker> deviceEvents;
    // Tells this engine's export names from another's (see Utilities::exportTag).
    std::string exportTag;
};

// One input device to one output device, with its own device stream, routing list, effect chain
// and shared-memory export. Control operations run serialised under the engine lock; the audio
// thread reads only what the stream publishes for it (see RealtimeState).
class Stream : public std::enable_shared_from_this<Stream> {
public:
    // The longest stream name taken (bytes): names travel in every stream list.
    static constexpr std::size_t kMaxNameBytes = 256;

    Stream(unsigned int streamId, StreamServices services, unsigned int inputDeviceId, unsigned int outputDeviceId,
           unsigned int nChannelsInput, unsigned int nChannelsOutput, unsigned int sampleRate,
           unsigned int bufferFrames);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int start();
    int stop();
    int selectMatchingSampleRate();
    // True when both devices list `rate`; otherwise logs why (with `context`) and answers false.
    bool supportsSampleRate(unsigned int rate, unsigned int inputId, unsigned int outputId, const char* context) const;
    bool isOpen() const { return deviceStream != nullptr; }
    int changeSampleRate(unsigned int rate);
    int editStream(unsigned int inputDeviceId, unsigned int outputDeviceId, unsigned int nChannelsInput,
                   unsigned int nChannelsOutput, unsigned int sampleRate, unsigned int bufferFrames,
                   const std::string& streamName);
    int resetRtAudioInstance();
    // Logs what the back end reported, as the engine reports each kind.
    static void errorCallback(audio::Fault fault, const std::string& errorText);

    bool isStarted() const;
    // Running, or meant to: halted by a lost device or by its server, or waiting for its devices.
    bool isMeantToRun() const { return isStarted() || isOpen() || awaited.has_value(); }
    std::string getInputDeviceName() const;
    std::string getOutputDeviceName() const;
    // The name a session awaits the device by, or the one it is listed under, or, while it is
    // absent, the one it was last listed under: what a saved session finds it by again.
    std::string knownInputDeviceName() const;
    std::string knownOutputDeviceName() const;

    // Routing.
    ChannelRedirects getChannelsRedirects() const { return channelsRedirects; }
    int addChannelRedirect(unsigned int inputChannel, unsigned int outputChannel);
    int removeChannelRedirect(unsigned int index);
    int printChannelsRedirects() const;

    // Effect chain.
    EffectChain getEffects() const { return effects; }
    int addEffect(const std::string& name);
    int addEffectByInstance(std::shared_ptr<Effect> effect);
    int removeEffect(const std::string& name, bool force);
    int setEffectParameter(const std::string& effect, const std::string& parameter, float value);
    // Whether the named effect (or equalizer filter) would take `value` as far as its range goes;
    // logs a refusal. True when there is no such effect or filter: setting then reports that.
    bool acceptsEffectValue(const std::string& effect, const std::string& parameter, float value) const;
    bool acceptsEQFilterValue(unsigned int id, const std::string& parameter, float value) const;
    // 0, or -1 with "Effect not found" when the chain has no effect of that name.
    int setEffectEnable(const std::string& effect, bool enable);
    float getEffectParameterValue(const std::string& effect, const std::string& parameter) const;

    // Filters of the stream's parametric equalizer (its first "EQEffect").
    int addEQFilter(const std::string& type);
    int removeEQFilter(unsigned int id);
    int setEQFilterParameter(unsigned int id, const std::string& parameter, float value);
    int getEQFilterInfo();

    // The master chain as this stream runs it: an instance of each master effect with processing
    // state of its own (delay line, filter history), so streams never hear each other through it.
    // The engine keeps the instances' parameters and flags those of the master effects.
    void followMasterChain(const EffectChain& masterEffects);
    std::shared_ptr<Effect> masterInstanceOf(const std::shared_ptr<Effect>& master) const;

    // Shared-memory export: the region is made when the stream opens, before its first period.
    void startSharedMemory(unsigned long dataSize, unsigned long margin) { sharedMemory.start(dataSize, margin); }
    void writeSharedMemory(const void* src) { sharedMemory.write(src); }
    void writeSharedMemory(const void* src, std::size_t bytes) { sharedMemory.write(src, bytes); }
    bool isSharedMemoryStarted() const { return sharedMemory.isStarted(); }

    // A stream opened only to ask for the microphone permission has no one to show its audio to.
    void disableExport() { exportEnabled = false; }

    // The format the stream's effects are prepared for: the one it last opened with (all zero before
    // its first open, when effects are prepared at the open instead).
    ProcessSpec processSpec() const;

    // Snapshots.
    bool getMustDoSnapshot() const { return mustDoSnapshot.load(std::memory_order_relaxed); }
    void setMustDoSnapshot(bool value) { mustDoSnapshot.store(value, std::memory_order_relaxed); }
    // Writes the file at once, on the caller's thread.
    int doSnapshot(float* inputBuffer, float* outputBuffer, Stream* stream, double streamTime, unsigned int status);
    // Audio thread: copies the period for the stream's snapshot writer (see SnapshotWriter) and
    // clears the request. reportLine is the callback's line that reported an overflow or underflow
    // (logged with the snapshot), 0 for a requested one. False when a snapshot is still under way.
    bool captureSnapshot(const float* inputBuffer, const float* outputBuffer, unsigned int nFrames, double streamTime,
                         unsigned int status, int reportLine) noexcept;
    // Waits until the snapshots captured so far are written and the writer has made its reports.
    void drainSnapshots() { snapshotWriter.drain(); }

    // The devices a stream saved as running waits for, by name (empty: by its device id), when one
    // was absent as the session loaded. It starts when they are back, as a stream halted by a lost
    // device does; a start or a stop ends the wait.
    struct AwaitedDevices {
        std::string input, output;
    };
    void awaitDevices(AwaitedDevices names) { awaited = std::move(names); }
    const std::optional<AwaitedDevices>& awaitedDevices() const { return awaited; }

    void setGroupID(int id);
    int getGroupID() const { return groupID; }

    unsigned int getInputDeviceId() const { return inputDeviceId; }
    unsigned int getOutputDeviceId() const { return outputDeviceId; }
    unsigned int getNChannelsInput() const { return nChannelsInput; }
    unsigned int getNChannelsOutput() const { return nChannelsOutput; }
    unsigned int getSampleRate() const { return sampleRate; }
    unsigned int getBufferFrames() const { return bufferFrames; }
    // The frame count the back end settled on at the last open (0 before the first open).
    unsigned int getSettledBufferFrames() const { return settledBufferFrames; }
    unsigned int getStreamId() const { return streamId; }
    Core* getCore() const { return services.owner; }
    audio::StreamParameters getInputParameters() const { return inputParameters; }
    audio::StreamParameters getOutputParameters() const { return outputParameters; }
    audio::StreamOptions getOptions() const { return options; }
    const std::string& getName() const { return options.streamName; }

    // The export follows the id (a front end reads stream N's audio under N's name): a stream that
    // is not running is renamed at once, a running one when it next starts.
    void setStreamId(unsigned int id);
    // "/Stream" and the id (and the engine's tag, for an engine on a socket of its own).
    std::string exportName() const;
    void setInputDeviceId(unsigned int id);
    void setOutputDeviceId(unsigned int id);
    void setNChannelsInput(unsigned int channels);
    void setNChannelsOutput(unsigned int channels);
    void setSampleRate(unsigned int rate) { sampleRate = rate; }
    void setBufferFrames(unsigned int frames) { bufferFrames = frames; }
    void setOptions(const audio::StreamOptions& newOptions) { options = newOptions; }
    void setInputParameters(const audio::StreamParameters& parameters) { inputParameters = parameters; }
    void setOutputParameters(const audio::StreamParameters& parameters) { outputParameters = parameters; }

    // What one period of the audio callback works with. Captured when the stream opens, so a
    // setter called while the stream runs can never make the callback index past its buffers.
    struct RealtimeState {
        unsigned int nChannelsInput{0};
        unsigned int nChannelsOutput{0};
        unsigned int sampleRate{0};
        RealtimeSnapshot<ChannelRedirects> redirects{ChannelRedirects{{0, 0}, {1, 1}}};
        RealtimeSnapshot<EffectChain> effects;
        RealtimeSnapshot<EffectChain> masterEffects;
        HazardSlot redirectsSlot;
        HazardSlot effectsSlot;
        HazardSlot masterSlot;
        bool exportFailed{false};  // the shared-memory export gave up; logged once
    };
    RealtimeState& realtime() { return realtimeState; }

private:
    // Control side, before the audio thread may see the effect or the period.
    void prepareEffect(Effect& effect) const;
    void prepareForPeriods();
    // Control side, while no audio thread writes the export: gives it the current id's name.
    void nameExportAfterId();
    void publishRedirects() { realtimeState.redirects.publish(channelsRedirects); }
    void publishEffects() { realtimeState.effects.publish(effects); }
    void logDevices() const;
    std::optional<audio::Device> findDevice(unsigned int id) const;
    // The rates the device lists; none when it is absent.
    std::vector<unsigned int> deviceRates(unsigned int id) const;
    // What the back end's reports on the open device stream do: logged, and a lost device handed to
    // the engine's device-event worker (the report may come on a back end's thread).
    audio::StreamReports reportsHandler() const;
    // Logs a failed call of the device stream as the engine reports it and answers its code.
    int failed(const audio::Result& result, const char* what, const char* context) const;
    // Snapshots: the header is taken on the control side when the stream opens.
    SnapshotHeader snapshotHeader() const;
    void prepareSnapshots();
    int writeSnapshotFile(const SnapshotHeader& header, const float* inputBuffer, const float* outputBuffer,
                          double streamTime, unsigned int status, long long milliseconds);
    void writeCapturedSnapshot(const SnapshotHeader& header, const SnapshotRecord& record);
    // Snapshot writer's thread, at each of its looks: logs the blocks the effects passed through
    // unprepared, one line per burst.
    void reportUnpreparedBlocks(const SnapshotHeader& header);

    std::unique_ptr<audio::DeviceStream> deviceStream;
    unsigned int inputDeviceId;
    unsigned int outputDeviceId;
    unsigned int nChannelsInput;
    unsigned int nChannelsOutput;
    unsigned int sampleRate;
    unsigned int bufferFrames;
    audio::StreamParameters inputParameters{};
    audio::StreamParameters outputParameters{};
    audio::StreamOptions options{};
    unsigned int streamId;
    StreamServices services;
    SharedMemory sharedMemory{"SharedMemory"};
    EffectChain effects;
    // Each master effect this stream follows, with the stream's own instance of it.
    std::vector<std::pair<std::shared_ptr<Effect>, std::shared_ptr<Effect>>> masterInstances;
    ChannelRedirects channelsRedirects{{0, 0}, {1, 1}};
    std::atomic<bool> mustDoSnapshot{false};
    int groupID{-1};
    std::optional<AwaitedDevices> awaited;
    // The name each device was last listed under, by id.
    struct LastListed {
        unsigned int id{0};
        std::string name;
    };
    mutable LastListed lastInput, lastOutput;
    std::string deviceName(unsigned int id, LastListed& last) const;
    std::string knownDeviceName(unsigned int id, LastListed& last, const std::string& awaitedName) const;
    bool exportEnabled{true};
    unsigned int settledBufferFrames{0};
    RealtimeState realtimeState;
    HazardSlot snapshotEffectsSlot; // the snapshot writer's reads of the effect chain
    // The writer's reads of both chains for reportUnpreparedBlocks, and when it last found some.
    HazardSlot unpreparedEffectsSlot, unpreparedMasterSlot;
    bool unpreparedBurst{false};
    std::chrono::steady_clock::time_point lastUnpreparedBlocks;
    SnapshotWriter snapshotWriter{
        [this](const SnapshotHeader& header, const SnapshotRecord& record) { writeCapturedSnapshot(header, record); },
        [this](const SnapshotHeader& header) { reportUnpreparedBlocks(header); }};
};
