#include "VirtualAudio.hpp"

#include <algorithm>

namespace audio {

std::shared_ptr<VirtualAudioSystem> VirtualAudioSystem::create() {
    return std::shared_ptr<VirtualAudioSystem>(new VirtualAudioSystem());
}

unsigned int VirtualAudioSystem::addDevice(const Device& device) {
    std::lock_guard<std::mutex> guard(mutex_);
    const unsigned int id = nextId_++;
    devices_[id] = Slot{device, true};
    return id;
}

void VirtualAudioSystem::setDefaultInput(unsigned int deviceId) {
    std::lock_guard<std::mutex> guard(mutex_);
    defaultInput_ = deviceId;
}

void VirtualAudioSystem::setDefaultOutput(unsigned int deviceId) {
    std::lock_guard<std::mutex> guard(mutex_);
    defaultOutput_ = deviceId;
}

void VirtualAudioSystem::unplug(unsigned int deviceId) {
    std::string name;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = devices_.find(deviceId);
        if (it == devices_.end() || !it->second.present) return;
        it->second.present = false;
        name = it->second.device.name;
    }
    // Callbacks run without the lock: they may call back into the instances.
    for (const auto& instance : liveInstances()) {
        if (instance->open_ && (instance->input_.deviceId == deviceId || instance->output_.deviceId == deviceId))
            instance->reportDisconnect(deviceId, name);
    }
}

void VirtualAudioSystem::plugIn(unsigned int deviceId) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = devices_.find(deviceId);
    if (it != devices_.end()) it->second.present = true;
}

void VirtualAudioSystem::failNext(Operation operation, RtAudioErrorType type, int count) {
    std::lock_guard<std::mutex> guard(mutex_);
    failures_[operation] = {type, count};
}

void VirtualAudioSystem::failInstanceCreation(bool fail) {
    std::lock_guard<std::mutex> guard(mutex_);
    failCreation_ = fail;
}

void VirtualAudioSystem::settleBufferFramesAt(unsigned int frames) {
    std::lock_guard<std::mutex> guard(mutex_);
    settledFrames_ = frames;
}

RtAudioFactory VirtualAudioSystem::factory() {
    std::weak_ptr<VirtualAudioSystem> weakSystem = shared_from_this();
    return [weakSystem](RtAudioErrorCallback errorCallback) -> std::shared_ptr<RtAudio> {
        auto system = weakSystem.lock();
        if (!system) return nullptr;
        {
            std::lock_guard<std::mutex> guard(system->mutex_);
            if (system->failCreation_) return nullptr;
        }
        auto instance = std::make_shared<VirtualRtAudio>(system, std::move(errorCallback));
        std::lock_guard<std::mutex> guard(system->mutex_);
        // A dead instance's weak pointer still holds its memory (one block with the count): drop
        // them as new ones come, or a long-lived system grows with every stream ever opened.
        std::erase_if(system->instances_, [](const auto& weak) { return weak.expired(); });
        system->instances_.push_back(instance);
        return instance;
    };
}

std::vector<std::shared_ptr<VirtualRtAudio>> VirtualAudioSystem::liveInstances() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::shared_ptr<VirtualRtAudio>> live;
    for (const auto& weak : instances_)
        if (auto instance = weak.lock()) live.push_back(instance);
    return live;
}

std::vector<std::shared_ptr<VirtualRtAudio>> VirtualAudioSystem::instances() const { return liveInstances(); }

std::vector<std::shared_ptr<VirtualRtAudio>> VirtualAudioSystem::openInstancesOn(unsigned int inputDeviceId,
                                                                                 unsigned int outputDeviceId) const {
    auto live = liveInstances();
    std::erase_if(live, [&](const auto& instance) {
        return !instance->open_ || instance->input_.deviceId != inputDeviceId ||
               instance->output_.deviceId != outputDeviceId;
    });
    return live;
}

bool VirtualAudioSystem::takeFailure(Operation operation, RtAudioErrorType& type) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = failures_.find(operation);
    if (it == failures_.end() || it->second.second <= 0) return false;
    type = it->second.first;
    --it->second.second;
    return true;
}

VirtualRtAudio::VirtualRtAudio(std::shared_ptr<VirtualAudioSystem> system, RtAudioErrorCallback errorCallback)
    : system_(std::move(system)), errorCallback_(std::move(errorCallback)) {}

std::vector<unsigned int> VirtualRtAudio::getDeviceIds() {
    std::lock_guard<std::mutex> guard(system_->mutex_);
    std::vector<unsigned int> ids;
    for (const auto& [id, slot] : system_->devices_)
        if (slot.present) ids.push_back(id);
    return ids;
}

RtAudio::DeviceInfo VirtualRtAudio::getDeviceInfo(unsigned int deviceId) {
    std::lock_guard<std::mutex> guard(system_->mutex_);
    auto it = system_->devices_.find(deviceId);
    if (it == system_->devices_.end() || !it->second.present) return {};
    const auto& device = it->second.device;
    DeviceInfo info;
    info.ID = deviceId;
    info.name = device.name;
    info.inputChannels = device.inputChannels;
    info.outputChannels = device.outputChannels;
    info.duplexChannels = std::min(device.inputChannels, device.outputChannels);
    info.isDefaultInput = deviceId == system_->defaultInput_;
    info.isDefaultOutput = deviceId == system_->defaultOutput_;
    info.sampleRates = device.sampleRates;
    info.preferredSampleRate = device.preferredSampleRate;
    info.currentSampleRate = device.preferredSampleRate;
    info.nativeFormats = RTAUDIO_FLOAT32;
    return info;
}

unsigned int VirtualRtAudio::getDefaultInputDevice() {
    std::lock_guard<std::mutex> guard(system_->mutex_);
    auto it = system_->devices_.find(system_->defaultInput_);
    return it != system_->devices_.end() && it->second.present ? system_->defaultInput_ : 0;
}

unsigned int VirtualRtAudio::getDefaultOutputDevice() {
    std::lock_guard<std::mutex> guard(system_->mutex_);
    auto it = system_->devices_.find(system_->defaultOutput_);
    return it != system_->devices_.end() && it->second.present ? system_->defaultOutput_ : 0;
}

RtAudioErrorType VirtualRtAudio::fail(RtAudioErrorType type, const std::string& text) {
    if (errorCallback_) errorCallback_(type, text);
    return type;
}

RtAudioErrorType VirtualRtAudio::openStream(StreamParameters* outputParameters, StreamParameters* inputParameters,
                                            RtAudioFormat format, unsigned int sampleRate,
                                            unsigned int* bufferFrames, RtAudioCallback callback, void* userData,
                                            StreamOptions* options) {
    if (open_) return fail(RTAUDIO_INVALID_USE, "VirtualRtAudio::openStream: a stream is already open");
    RtAudioErrorType injected;
    if (system_->takeFailure(VirtualAudioSystem::Operation::Open, injected))
        return fail(injected, "VirtualRtAudio::openStream: injected failure");
    if (!bufferFrames || !callback) return fail(RTAUDIO_INVALID_USE, "VirtualRtAudio::openStream: missing argument");

    // Checks one direction the way a driver would: the device must exist, have the channels and the rate.
    auto check = [&](const StreamParameters* parameters, bool isInput) -> RtAudioErrorType {
        if (!parameters || parameters->nChannels == 0) return RTAUDIO_NO_ERROR;
        const DeviceInfo info = getDeviceInfo(parameters->deviceId);
        if (info.ID == 0) return fail(RTAUDIO_INVALID_DEVICE, "VirtualRtAudio::openStream: device ID is invalid");
        const unsigned int available = isInput ? info.inputChannels : info.outputChannels;
        if (parameters->nChannels + parameters->firstChannel > available)
            return fail(RTAUDIO_INVALID_PARAMETER, "VirtualRtAudio::openStream: device " + info.name +
                                                       " does not support the requested channel count");
        if (std::find(info.sampleRates.begin(), info.sampleRates.end(), sampleRate) == info.sampleRates.end())
            return fail(RTAUDIO_INVALID_PARAMETER, "VirtualRtAudio::openStream: device " + info.name +
                                                       " does not support sample rate " + std::to_string(sampleRate));
        return RTAUDIO_NO_ERROR;
    };
    if (auto result = check(outputParameters, false)) return result;
    if (auto result = check(inputParameters, true)) return result;

    input_ = inputParameters ? *inputParameters : StreamParameters{};
    output_ = outputParameters ? *outputParameters : StreamParameters{};
    options_ = options ? *options : StreamOptions{};
    format_ = format;
    sampleRate_ = sampleRate;
    {
        std::lock_guard<std::mutex> guard(system_->mutex_);
        if (system_->settledFrames_ != 0) *bufferFrames = system_->settledFrames_;
    }
    if (*bufferFrames == 0) *bufferFrames = 256;
    bufferFrames_ = *bufferFrames;
    callback_ = callback;
    userData_ = userData;
    streamTime_ = 0.0;
    disconnectReported_ = false;
    open_ = true;
    return RTAUDIO_NO_ERROR;
}

void VirtualRtAudio::closeStream() {
    running_ = false;
    open_ = false;
}

RtAudioErrorType VirtualRtAudio::startStream() {
    if (!open_) return fail(RTAUDIO_INVALID_USE, "VirtualRtAudio::startStream: no open stream");
    if (running_) return fail(RTAUDIO_WARNING, "VirtualRtAudio::startStream: the stream is already running");
    RtAudioErrorType injected;
    if (system_->takeFailure(VirtualAudioSystem::Operation::Start, injected))
        return fail(injected, "VirtualRtAudio::startStream: injected failure");
    running_ = true;
    return RTAUDIO_NO_ERROR;
}

RtAudioErrorType VirtualRtAudio::stopStream() {
    if (!running_) return fail(RTAUDIO_WARNING, "VirtualRtAudio::stopStream: the stream is not running");
    RtAudioErrorType injected;
    if (system_->takeFailure(VirtualAudioSystem::Operation::Stop, injected))
        return fail(injected, "VirtualRtAudio::stopStream: injected failure");
    running_ = false;
    return RTAUDIO_NO_ERROR;
}

bool VirtualRtAudio::isStreamOpen() const { return open_; }
bool VirtualRtAudio::isStreamRunning() const { return running_; }

bool VirtualRtAudio::runPeriod(const std::vector<float>& input, std::vector<float>& output,
                               RtAudioStreamStatus status) {
    if (!running_) return false;
    std::vector<float> inputCopy(input);
    inputCopy.resize(static_cast<size_t>(bufferFrames_) * input_.nChannels, 0.0f);
    output.assign(static_cast<size_t>(bufferFrames_) * output_.nChannels, 0.0f);
    return runPeriod(inputCopy.data(), output.data(), status);
}

bool VirtualRtAudio::runPeriod(float* input, float* output, RtAudioStreamStatus status) {
    if (!running_) return false;
    callback_(output, input, bufferFrames_, streamTime_, status, userData_);
    streamTime_ += static_cast<double>(bufferFrames_) / sampleRate_;
    return true;
}

void VirtualRtAudio::reportDisconnect(unsigned int deviceId, const std::string& name) {
    if (disconnectReported_) return;
    disconnectReported_ = true;
    fail(RTAUDIO_DEVICE_DISCONNECT,
         "VirtualRtAudio: device " + name + " (" + std::to_string(deviceId) + ") disconnected");
}

} // namespace audio
