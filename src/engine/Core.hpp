#pragma once

#include "engine/DeviceEventWorker.hpp"
#include "engine/FrontEndListener.hpp"
#include "engine/Stream.hpp"
#include "audio/BackEndChoice.hpp"
#include "audio/BackEnd.hpp"
#include "groups/StreamGroupSync.hpp"
#include "realtime/RealtimeSnapshot.hpp"
#include "utilities/Log.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

using DeviceList = std::vector<std::pair<unsigned int, std::string>>;

// The engine: its audio back end (devices and device streams), the device lists, the stream table, the
// master chain and the stream groups. Control operations are serialised by the engine lock, which
// runCommand alone takes (for the console, the socket's clients, the device-event worker); audio
// threads never take it. The lock is not recursive: nothing that holds it takes it again.
class Core {
public:
    explicit Core(std::shared_ptr<audio::BackEnd> backEnd = audio::chooseBackEnd().backEnd);
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // For runCommand (and tests that drive the Core directly).
    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(engineMutex); }

    // Devices.
    int updateInputDevicesList();
    int updateOutputDevicesList();
    DeviceList getInputDevices() const { return inputDevices; }
    DeviceList getOutputDevices() const { return outputDevices; }
    std::vector<int> getAvailableSampleRates(unsigned int inputDeviceId, unsigned int outputDeviceId);
    // Null when the engine has none (a build or test without audio).
    audio::BackEnd* audioBackEnd() const { return backEnd.get(); }
    // Starts a stream a session saved as running; when it cannot start because a device it uses is
    // absent, it waits for the device (by these names, empty for none) as a halted stream does.
    int startSavedStream(unsigned int id, const std::string& inputName, const std::string& outputName);

    // Stream table.
    int addStream(unsigned int inputDeviceId, unsigned int outputDeviceId, unsigned int nChannelsInput,
                  unsigned int nChannelsOutput, unsigned int sampleRate, unsigned int bufferFrames);
    int startStream(unsigned int id);
    int stopStream(unsigned int id);
    int removeStream(unsigned int id);
    int clearStreams();
    std::shared_ptr<Stream> getStreamById(unsigned int id) const;
    std::vector<std::shared_ptr<Stream>> getStreams() const { return streams; }
    // The front end to notify (the socket registers itself); null when none is attached.
    void setSocket(FrontEndListener* newSocket) { socket = newSocket; }
    // Streams created from now on name their exports with this tag (see Utilities::exportTag).
    void setExportTag(std::string tag) { exportTag = std::move(tag); }
    FrontEndListener* getSocket() const { return socket; }

    // Routing.
    int addChannelRedirect(unsigned int streamId, unsigned int inputChannel, unsigned int outputChannel);
    int removeChannelRedirect(unsigned int streamId, unsigned int index);
    int printChannelsRedirects(unsigned int streamId);

    // Snapshots.
    int doSnapshot();

    // Audio callback.
    static int callback(void* outputBuffer, void* inputBuffer, unsigned int nFrames, double streamTime,
                        unsigned int status, void* userData);

    // Master chain.
    int addMasterEffect(const std::string& name);
    int setMasterEffectParameter(const std::string& effect, const std::string& parameter, float value);
    int setMasterEffectEnable(const std::string& name, bool enable);
    int deleteMasterEffect(const std::string& name);
    int clearMasterEffects();
    EffectChain getMasterEffects() const { return masterEffects; }

    // Stream effect chains.
    int addEffectToStream(unsigned int streamId, const std::string& name);
    int removeEffectFromStream(unsigned int streamId, const std::string& name);
    int setEffectParameter(unsigned int streamId, const std::string& effect, const std::string& parameter,
                           float value);
    int setEffectEnable(unsigned int streamId, const std::string& name, bool enable);

    // Equalizer filters of a stream's parametric equalizer.
    int addEQFilterToStream(unsigned int streamId, const std::string& type);
    int removeEQFilterFromStream(unsigned int streamId, unsigned int filterId);
    int setEQFilterParameter(unsigned int streamId, unsigned int filterId, const std::string& parameter,
                             float value);
    int getEQFilterInfo(unsigned int streamId);

    // Stream groups.
    int linkStreams(const std::vector<unsigned int>& streamIds);
    unsigned int findAvailableStreamGroupID() const;
    int unlinkStream(unsigned int streamId);
    int addStreamToStreamGroupSync(unsigned int streamId, unsigned int groupId);
    int setStreamsGroupColor(unsigned int groupId, GroupColor color);
    int setStreamGroupVolumeLevelSync(unsigned int groupId, bool on);
    int setStreamGroupVolumeRatioSync(unsigned int groupId, bool on);
    int addEffectToStreamGroupSync(unsigned int groupId, const std::string& effectName);
    int removeEffectFromStreamGroupSync(unsigned int groupId, const std::string& effectName);
    std::vector<std::shared_ptr<StreamGroupSync>> getStreamGroupSyncs() const { return streamGroupSyncs; }
    int clearStreamGroups();

    // The worker that handles device reports (tests drain it to see a report handled).
    DeviceEventWorker& deviceEvents() { return *deviceEventWorker; }

    // The stream with that id; null after logging "Stream not found" with the operation's name.
    std::shared_ptr<Stream> findStream(unsigned int id, const char* context) const;

private:
    // Devices: emptying both lists is the first step of every refresh.
    int resetRtAudioInstance();
    int findDisconnectedDevice();
    // Starts again the streams the library halted (their server or a device went away) once the
    // device lists hold their devices again; one line for each.
    void resumeHaltedStreams();

    unsigned int findFirstAvailableStreamId() const;
    int syncSameOutputDeviceSampleRateAtLowest(unsigned int outputDeviceId);
    int syncSameInputDeviceSampleRateAtLowest(unsigned int inputDeviceId);

    // The audio callback's steps.
    static int applyRoutingChannels(float* input, float* output, unsigned int nFrames, Stream* stream);
    // One pass of a master chain over a block: each enabled effect in order, the first from `input`,
    // the rest in place on `output`.
    static void runMasterChain(const EffectChain& chain, float* input, float* output, unsigned int nChannels,
                               unsigned int nFrames, unsigned int sampleRate);

    // Keeping the members of a group in step.
    std::shared_ptr<StreamGroupSync> getStreamGroupSyncById(unsigned int groupId) const;
    int syncEffectStack(unsigned int groupId, unsigned int streamId);
    int setEffectParameterGroup(int groupId, unsigned int streamId, const std::string& effectName,
                                const std::string& parameterName, float value);
    int setVolumeEffectParameterGroup(int groupId, std::shared_ptr<Stream> origin, float value);
    int setEQFilterParameterGroup(int groupId, unsigned int streamId, unsigned int filterId,
                                  const std::string& parameterName, float value);
    // What an operation on `stream` reaches: every member of its group in table order, or the
    // stream alone when it is in none.
    std::vector<std::shared_ptr<Stream>> reachedStreams(const std::shared_ptr<Stream>& stream) const;
    // The members of a group other than the stream `exceptId`, in table order.
    std::vector<std::shared_ptr<Stream>> otherMembers(int groupId, unsigned int exceptId) const;
    // Runs `operation` on every stream the id reaches, in table order; the result is the last one's.
    // A non-zero result, a missing stream's included, is logged as "Stream not found" in `context`.
    template <class Operation>
    int forReachedStreams(unsigned int streamId, const char* context, Operation operation);

    // What every stream of this engine is built with: the back end, the callback, the device events.
    StreamServices streamServices();
    void pushEffectList(int streamId, const std::string& context);
    // Has every stream follow the master chain.
    void publishMasterEffects();

    std::shared_ptr<audio::BackEnd> backEnd;
    std::mutex engineMutex;
    std::vector<std::shared_ptr<Stream>> streams;
    DeviceList inputDevices;
    DeviceList outputDevices;
    // Every device name seen by a list refresh, and the devices whose loss was announced and that
    // no refresh has seen since: streams' devices are checked too, and each loss is told once.
    std::map<unsigned int, std::string> knownDeviceNames;
    std::set<unsigned int> lostInputs, lostOutputs;
    EffectChain masterEffects;
    std::vector<std::shared_ptr<StreamGroupSync>> streamGroupSyncs;
    FrontEndListener* socket{nullptr};
    std::string exportTag;
    // Shared with the streams' error reports, which may outlive a stream's place in the table.
    std::shared_ptr<DeviceEventWorker> deviceEventWorker{std::make_shared<DeviceEventWorker>()};
};

template <class Operation>
int Core::forReachedStreams(unsigned int streamId, const char* context, Operation operation) {
    int result = -1;
    if (auto stream = getStreamById(streamId))
        for (const auto& reached : reachedStreams(stream)) result = operation(*reached);
    if (result != 0) Utilities::error("Stream not found", context, __LINE__);
    return result;
}

// The engine of the process, set at the end of the Core's construction.
extern Core* coreInstance;
