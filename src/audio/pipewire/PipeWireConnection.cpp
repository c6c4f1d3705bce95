#include "audio/pipewire/PipeWireConnection.hpp"

#include "audio/DeferredReports.hpp"
#include "audio/DevicesChanged.hpp"
#include "audio/Notices.hpp"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>

#include <malloc.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace audio::detail {

namespace {

constexpr std::uint64_t kFirstRetryMs = 100;
// Short enough that streams play again within a second or so of the daemon's return.
constexpr std::uint64_t kLongestRetryMs = 1000;
constexpr unsigned int kFallbackGraphRate = 48000;
// glibc's own starting value, kept from then on.
constexpr int kMmapThresholdBytes = 128 * 1024;

std::string lookup(const spa_dict* props, const char* key) {
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value ? value : "";
}

unsigned int number(const spa_dict* props, const char* key) {
    const std::string text = lookup(props, key);
    return text.empty() ? 0u : static_cast<unsigned int>(std::strtoul(text.c_str(), nullptr, 10));
}

} // namespace

// Everything the loop's thread knows of the graph for one connection; made and dropped with it.
struct PipeWireConnection::Registry {
    struct NodeRecord {
        PipeWireConnection* owner{nullptr};
        PipeWireNode node;
        pw_proxy* proxy{nullptr};
        spa_hook listener{};
        bool infoSeen{false};
    };
    struct PortRecord {
        std::uint32_t nodeId;
        std::uint32_t portId;
        bool output;
        bool monitor;
        std::string channel;
    };
    struct MetadataRecord {
        PipeWireConnection* owner{nullptr};
        std::string name;
        pw_proxy* proxy{nullptr};
        spa_hook listener{};
    };

    spa_hook coreListener{};
    spa_hook registryListener{};
    std::map<std::uint32_t, std::unique_ptr<NodeRecord>> nodes;
    std::map<std::uint32_t, PortRecord> ports;
    std::map<std::uint32_t, std::unique_ptr<MetadataRecord>> metadata;
    std::string defaultSink, defaultSource;
    unsigned int graphRate{0};
    int infosPending{0};

    static void onNodeInfo(void* data, const pw_node_info* info) {
        auto* record = static_cast<NodeRecord*>(data);
        if (!info || !info->props) return;
        PipeWireNode& node = record->node;
        if (auto description = lookup(info->props, PW_KEY_NODE_DESCRIPTION); !description.empty())
            node.description = description;
        if (unsigned int channels = number(info->props, "audio.channels")) node.channels = channels;
        if (unsigned int rate = number(info->props, "audio.rate")) node.rate = rate;
        Registry& registry = *record->owner->registry_;
        if (!record->infoSeen) {
            record->infoSeen = true;
            --registry.infosPending;
        }
        record->owner->changed();
    }

    static int onMetadataProperty(void* data, std::uint32_t subject, const char* key, const char*,
                                  const char* value) {
        auto* record = static_cast<MetadataRecord*>(data);
        Registry& registry = *record->owner->registry_;
        if (subject != PW_ID_CORE) return 0;
        if (record->name == "default") {
            if (!key || std::strcmp(key, "default.audio.sink") == 0) registry.defaultSink = defaultNodeName(value);
            if (!key || std::strcmp(key, "default.audio.source") == 0)
                registry.defaultSource = defaultNodeName(value);
        } else if (record->name == "settings") {
            if (!key || std::strcmp(key, "clock.rate") == 0)
                registry.graphRate = value ? static_cast<unsigned int>(std::strtoul(value, nullptr, 10)) : 0;
        }
        record->owner->changed();
        return 0;
    }

    // Our listeners go before the proxies do; the proxies before the core.
    void drop() {
        for (auto& [id, record] : nodes) {
            spa_hook_remove(&record->listener);
            pw_proxy_destroy(record->proxy);
        }
        for (auto& [id, record] : metadata) {
            spa_hook_remove(&record->listener);
            pw_proxy_destroy(record->proxy);
        }
        nodes.clear();
        metadata.clear();
        ports.clear();
    }
};

namespace {

const pw_node_events kNodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = &PipeWireConnection::Registry::onNodeInfo;
    return events;
}();

const pw_metadata_events kMetadataEvents = [] {
    pw_metadata_events events{};
    events.version = PW_VERSION_METADATA_EVENTS;
    events.property = &PipeWireConnection::Registry::onMetadataProperty;
    return events;
}();

} // namespace

bool PipeWireConnection::start(std::chrono::milliseconds timeout, bool keepTrying) {
    {
        std::lock_guard<std::mutex> guard(startMutex_);
        if (!threadLoop_) {
            // Each pw_stream's converter callocs megabytes of work buffers it mostly never touches.
            // glibc serves the first by mmap (untouched pages cost nothing); once such a block is
            // freed (a daemon restart ends every stream; so does removing one) it raises its mmap
            // threshold and serves the next from its heap, zeroing every page: four routes went
            // from 17 to 73 MB resident over ten restarts. A fixed threshold keeps them on mmap.
            mallopt(M_MMAP_THRESHOLD, kMmapThresholdBytes);
            pw_init(nullptr, nullptr);
            threadLoop_ = pw_thread_loop_new("vantrell-pipewire", nullptr);
            if (!threadLoop_) return false;
            loop_ = pw_thread_loop_get_loop(threadLoop_);
            pw_properties* properties = pw_properties_new(PW_KEY_APP_NAME, "vantrell", nullptr);
            context_ = pw_context_new(loop_, properties, 0);
            if (!context_) return false;
            retryTimer_ = pw_loop_add_timer(loop_, &PipeWireConnection::onRetry, this);
            keepTrying_ = keepTrying;
            retryDelayMs_ = kFirstRetryMs;
            connect();
            if (pw_thread_loop_start(threadLoop_) < 0) return false;
        } else if (!context_) {
            return false; // libpipewire could not even make a context: nothing to retry with
        } else if (keepTrying) {
            lock();
            if (!keepTrying_) {
                keepTrying_ = true;
                if (!core_) retryLater(retryDelayMs_);
            }
            unlock();
        }
    }
    std::unique_lock<std::mutex> lock(devicesMutex_);
    firstAnswer_.wait_for(lock, timeout, [this] { return answered_; });
    return ready_.load();
}

void PipeWireConnection::lock() { pw_thread_loop_lock(threadLoop_); }
void PipeWireConnection::unlock() { pw_thread_loop_unlock(threadLoop_); }

std::shared_ptr<const PipeWireDeviceList> PipeWireConnection::devices() const {
    std::lock_guard<std::mutex> guard(devicesMutex_);
    return devices_;
}

std::string PipeWireConnection::realtimeRefusal(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(devicesMutex_);
    realtimeAnswered_.wait_for(lock, wait, [this] { return realtime_ != Realtime::Asked; });
    realtimeRead_ = true;
    return realtimeRefusal_;
}

void PipeWireConnection::addWatcher(PipeWireWatcher* watcher) {
    if (std::find(watchers_.begin(), watchers_.end(), watcher) == watchers_.end()) watchers_.push_back(watcher);
}

void PipeWireConnection::removeWatcher(PipeWireWatcher* watcher) {
    watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), watcher), watchers_.end());
}

void PipeWireConnection::afterRoundTrip(std::function<void()> then) {
    if (!ready_.load() || !core_) {
        then();
        return;
    }
    roundTrips_.emplace_back(pw_core_sync(core_, PW_ID_CORE, 0), std::move(then));
}

bool PipeWireConnection::hasNode(const std::string& nodeName) const {
    if (!ready_.load() || !registry_) return false;
    return std::any_of(registry_->nodes.begin(), registry_->nodes.end(),
                       [&](const auto& node) { return node.second->node.name == nodeName; });
}

void PipeWireConnection::connect() {
    // Fails at once when no daemon listens on the socket.
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        {
            std::lock_guard<std::mutex> guard(devicesMutex_);
            answered_ = true;
        }
        firstAnswer_.notify_all();
        if (keepTrying_ || everReady_) retryLater(retryDelayMs_);
        return;
    }
    registry_ = std::make_unique<Registry>();
    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.done = &PipeWireConnection::onCoreDone;
        events.error = &PipeWireConnection::onCoreError;
        return events;
    }();
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = &PipeWireConnection::onGlobal;
        events.global_remove = &PipeWireConnection::onGlobalRemove;
        return events;
    }();
    pw_core_add_listener(core_, &registry_->coreListener, &coreEvents, this);
    registryProxy_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registryProxy_, &registry_->registryListener, &registryEvents, this);
    syncPending_ = false;
    changed(); // the first answer: every global the daemon has, then this sync's reply
}

void PipeWireConnection::changed() {
    if (!core_ || syncPending_) return;
    // The reply comes after every event sent before it: one publication for a burst of changes.
    syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    syncPending_ = true;
}

void PipeWireConnection::onCoreDone(void* self, std::uint32_t id, int seq) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    if (id != PW_ID_CORE) return;
    if (auto waiting = std::find_if(connection->roundTrips_.begin(), connection->roundTrips_.end(),
                                    [seq](const auto& entry) { return entry.first == seq; });
        waiting != connection->roundTrips_.end()) {
        auto then = std::move(waiting->second);
        connection->roundTrips_.erase(waiting);
        then();
        return;
    }
    if (seq != connection->syncSeq_ || !connection->syncPending_) return;
    connection->syncPending_ = false;
    if (!connection->ready_.load()) {
        connection->ready_.store(true);
        connection->everReady_ = true;
        connection->retryDelayMs_ = kFirstRetryMs;
        connection->askRealtime();
    }
    connection->publish();
}

void PipeWireConnection::onCoreError(void* self, std::uint32_t id, int, int res, const char*) {
    // Errors of single objects (a node gone before we bound it) are not the connection's.
    if (id == PW_ID_CORE && res == -EPIPE) static_cast<PipeWireConnection*>(self)->lost();
}

void PipeWireConnection::lost() {
    if (teardownPending_) return;
    const bool wasUp = ready_.exchange(false);
    syncPending_ = false;
    // Streams let go of their pw_streams while the core still exists.
    const auto watchers = watchers_;
    for (PipeWireWatcher* watcher : watchers) watcher->daemonGone();
    auto waiting = std::move(roundTrips_);
    roundTrips_.clear();
    for (auto& entry : waiting) entry.second();
    {
        std::lock_guard<std::mutex> guard(devicesMutex_);
        devices_ = std::make_shared<PipeWireDeviceList>();
        answered_ = true;
    }
    firstAnswer_.notify_all();
    if (wasUp) announceNextList_ = true; // its return is news for the engine
    // Not from inside the core's own event: the retry tears it down first.
    teardownPending_ = true;
    retryLater(retryDelayMs_);
}

void PipeWireConnection::teardown() {
    teardownPending_ = false;
    if (!core_) return;
    registry_->drop();
    spa_hook_remove(&registry_->registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registryProxy_));
    registryProxy_ = nullptr;
    spa_hook_remove(&registry_->coreListener);
    pw_core_disconnect(core_);
    core_ = nullptr;
    registry_.reset();
}

void PipeWireConnection::retryLater(std::uint64_t delayMs) {
    timespec value{};
    value.tv_sec = static_cast<time_t>(delayMs / 1000);
    value.tv_nsec = static_cast<long>((delayMs % 1000) * 1000000);
    pw_loop_update_timer(loop_, retryTimer_, &value, nullptr, false);
    retryDelayMs_ = std::min(retryDelayMs_ * 2, kLongestRetryMs);
}

void PipeWireConnection::onRetry(void* self, std::uint64_t) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    connection->teardown();
    connection->connect();
}

void PipeWireConnection::askRealtime() {
    if (realtimeAsked_) return;
    realtimeAsked_ = true;
    // Every period runs on the context's data thread. Asked there, queued without waiting (the loop's
    // lock is held here); the answer is waited for by whoever reads it. A thread PipeWire's own
    // module already made real-time keeps its priority.
    pw_data_loop* dataLoop = pw_context_get_data_loop(context_);
    if (!dataLoop) return;
    {
        std::lock_guard<std::mutex> guard(devicesMutex_);
        realtime_ = Realtime::Asked;
    }
    pw_loop_invoke(
        pw_data_loop_get_loop(dataLoop),
        [](spa_loop*, bool, std::uint32_t, const void*, std::size_t, void* self) -> int {
            // Once, before any stream of ours runs a period here.
            auto* connection = static_cast<PipeWireConnection*>(self);
            const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
            std::string refusal = policy == SCHED_FIFO || policy == SCHED_RR ? "" : connection->realtimeRequest_();
            std::lock_guard<std::mutex> guard(connection->devicesMutex_);
            if (connection->realtimeRead_ && !refusal.empty())
                deferredReports().post([text = realtimeRefusalNotice(refusal)] { postNotice(text); });
            connection->realtimeRefusal_ = std::move(refusal);
            connection->realtime_ = Realtime::Answered;
            connection->realtimeAnswered_.notify_all();
            return 0;
        },
        0, nullptr, 0, false, this);
}

void PipeWireConnection::onGlobal(void* self, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                                  const spa_dict* props) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    Registry& registry = *connection->registry_;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const std::string mediaClass = lookup(props, PW_KEY_MEDIA_CLASS);
        if (!isOutputClass(mediaClass) && !isInputClass(mediaClass)) return;
        auto record = std::make_unique<Registry::NodeRecord>();
        record->owner = connection;
        record->node.globalId = id;
        record->node.name = lookup(props, PW_KEY_NODE_NAME);
        record->node.description = lookup(props, PW_KEY_NODE_DESCRIPTION);
        record->node.mediaClass = mediaClass;
        // Bound for its full properties (channels, rate), which the registry leaves out.
        record->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(connection->registryProxy_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (record->proxy) {
            pw_proxy_add_object_listener(record->proxy, &record->listener, &kNodeEvents, record.get());
            ++registry.infosPending;
        } else {
            record->infoSeen = true;
        }
        registry.nodes[id] = std::move(record);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        const std::uint32_t nodeId = number(props, PW_KEY_NODE_ID);
        if (!registry.nodes.contains(nodeId)) return;
        registry.ports[id] = Registry::PortRecord{nodeId, number(props, PW_KEY_PORT_ID),
                                                  lookup(props, PW_KEY_PORT_DIRECTION) == "out",
                                                  lookup(props, PW_KEY_PORT_MONITOR) == "true",
                                                  lookup(props, PW_KEY_AUDIO_CHANNEL)};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        const std::string name = lookup(props, PW_KEY_METADATA_NAME);
        if (name != "default" && name != "settings") return;
        auto record = std::make_unique<Registry::MetadataRecord>();
        record->owner = connection;
        record->name = name;
        record->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(connection->registryProxy_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (!record->proxy) return;
        pw_proxy_add_object_listener(record->proxy, &record->listener, &kMetadataEvents, record.get());
        registry.metadata[id] = std::move(record);
    } else {
        return;
    }
    connection->changed();
}

void PipeWireConnection::onGlobalRemove(void* self, std::uint32_t id) {
    auto* connection = static_cast<PipeWireConnection*>(self);
    Registry& registry = *connection->registry_;
    if (auto node = registry.nodes.find(id); node != registry.nodes.end()) {
        const std::string name = node->second->node.name;
        if (!node->second->infoSeen) --registry.infosPending;
        spa_hook_remove(&node->second->listener);
        if (node->second->proxy) pw_proxy_destroy(node->second->proxy);
        registry.nodes.erase(node);
        std::erase_if(registry.ports, [id](const auto& port) { return port.second.nodeId == id; });
        const auto watchers = connection->watchers_;
        for (PipeWireWatcher* watcher : watchers) watcher->nodeGone(name);
    } else if (auto metadata = registry.metadata.find(id); metadata != registry.metadata.end()) {
        spa_hook_remove(&metadata->second->listener);
        pw_proxy_destroy(metadata->second->proxy);
        registry.metadata.erase(metadata);
    } else if (!registry.ports.erase(id)) {
        return;
    }
    connection->changed();
}

void PipeWireConnection::publish() {
    Registry& registry = *registry_;
    std::vector<PipeWireNode> nodes;
    for (const auto& [id, record] : registry.nodes) {
        PipeWireNode node = record->node;
        std::vector<std::pair<std::uint32_t, const Registry::PortRecord*>> ports;
        for (const auto& [portGlobal, port] : registry.ports)
            if (port.nodeId == id) ports.emplace_back(port.portId, &port);
        std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [portId, port] : ports)
            (port->monitor ? node.monitorPorts : port->output ? node.outputPorts : node.inputPorts)
                .push_back(port->channel);
        nodes.push_back(std::move(node));
    }
    auto fresh = std::make_shared<const PipeWireDeviceList>(listDevices(
        nodes, registry.defaultSink, registry.defaultSource,
        registry.graphRate != 0 ? registry.graphRate : kFallbackGraphRate, ids_));
    bool differs = false;
    {
        std::lock_guard<std::mutex> guard(devicesMutex_);
        const PipeWireDeviceList& before = *devices_;
        differs = before.size() != fresh->size();
        for (std::size_t i = 0; !differs && i < before.size(); ++i) {
            const Device& a = before[i].info;
            const Device& b = (*fresh)[i].info;
            differs = a.id != b.id || a.name != b.name || a.inputChannels != b.inputChannels ||
                      a.outputChannels != b.outputChannels || a.isDefaultInput != b.isDefaultInput ||
                      a.isDefaultOutput != b.isDefaultOutput || a.preferredSampleRate != b.preferredSampleRate;
        }
        devices_ = std::move(fresh);
        // The first answer is whole once every bound node has told its properties.
        if (!answered_ && registry.infosPending == 0) {
            answered_ = true;
            firstAnswer_.notify_all();
        }
    }
    if (differs || announceNextList_) {
        announceNextList_ = false;
        notifyDevicesChanged();
    }
}

PipeWireConnection& pipeWireConnection() {
    static auto* instance = new PipeWireConnection;
    return *instance;
}

} // namespace audio::detail
