#include "ctl/Meter.hpp"

#include "ctl/Failure.hpp"
#include "ipc/SocketPath.hpp"
#include "utilities/ExportName.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace Ctl {

namespace {

constexpr std::size_t kHeaderSize = 32;

// This engine's tag: the exports of engines on other sockets are not ours to meter.
const std::string& engineExportTag() {
    static const std::string tag = Utilities::exportTag(IPC::socketPath(), IPC::kDefaultSocketPath);
    return tag;
}

// Unmaps and closes however the read ends.
struct Mapping {
    int fd{-1};
    void* base{MAP_FAILED};
    std::size_t size{0};
    ~Mapping() {
        if (base != MAP_FAILED) ::munmap(base, size);
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

double toDecibels(double linear) {
    if (!(linear > 0.0)) return kSilenceDb;
    return std::max(kSilenceDb, 20.0 * std::log10(linear));
}

std::vector<ChannelLevel> measureLevels(const std::vector<float>& interleaved, unsigned channels) {
    std::vector<double> peak(channels, 0.0), energy(channels, 0.0);
    const std::size_t frames = channels ? interleaved.size() / channels : 0;
    for (std::size_t frame = 0; frame < frames; ++frame)
        for (unsigned c = 0; c < channels; ++c) {
            double sample = interleaved[frame * channels + c];
            if (!std::isfinite(sample)) sample = 1.0;
            peak[c] = std::max(peak[c], std::fabs(sample));
            energy[c] += sample * sample;
        }
    std::vector<ChannelLevel> levels(channels);
    for (unsigned c = 0; c < channels; ++c) {
        levels[c].peakDb = toDecibels(peak[c]);
        levels[c].rmsDb = frames ? toDecibels(std::sqrt(energy[c] / static_cast<double>(frames))) : kSilenceDb;
    }
    return levels;
}

std::optional<RingSnapshot> readRing(int streamId) {
    const std::string name = Utilities::exportName(static_cast<unsigned int>(streamId), engineExportTag());
    Mapping region;
    region.fd = ::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (region.fd < 0) return std::nullopt;
    struct stat info {};
    // A region still being sized by the engine has no header yet.
    if (::fstat(region.fd, &info) != 0 || static_cast<std::size_t>(info.st_size) < kHeaderSize) return std::nullopt;
    region.size = static_cast<std::size_t>(info.st_size);
    region.base = ::mmap(nullptr, region.size, PROT_READ, MAP_SHARED, region.fd, 0);
    if (region.base == MAP_FAILED) return std::nullopt;

    const auto* words = static_cast<const std::uint64_t*>(region.base);
    // The engine publishes the offset after the slot's bytes.
    const std::uint64_t writeOffset = __atomic_load_n(&words[1], __ATOMIC_ACQUIRE);
    const std::uint64_t slotSize = words[2], ringSize = words[3];
    // Sized but not yet described: the engine writes the header just after it sizes the region.
    if (slotSize == 0 || ringSize == 0) return std::nullopt;
    if (slotSize % sizeof(float) != 0 || ringSize % slotSize != 0 ||
        ringSize > region.size - kHeaderSize || writeOffset >= ringSize)
        throw Failure(kRefused, "the export " + name + " has a header that does not fit it");

    RingSnapshot snapshot;
    snapshot.writeOffset = writeOffset;
    snapshot.periodSamples = slotSize / sizeof(float);
    snapshot.samples.resize(ringSize / sizeof(float));
    const char* ring = static_cast<const char*>(region.base) + kHeaderSize;
    // Oldest first: from the write offset to the end, then from the start up to it.
    auto* out = reinterpret_cast<char*>(snapshot.samples.data());
    std::memcpy(out, ring + writeOffset, ringSize - writeOffset);
    std::memcpy(out + (ringSize - writeOffset), ring, writeOffset);
    return snapshot;
}

bool ringAdvances(int streamId, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    std::optional<std::uint64_t> first;
    while (std::chrono::steady_clock::now() < deadline) {
        if (const auto ring = readRing(streamId)) {
            if (first && *first != ring->writeOffset) return true;
            if (!first) first = ring->writeOffset;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::vector<int> exportedStreams() {
    std::vector<int> ids;
    DIR* directory = ::opendir("/dev/shm");
    if (!directory) return ids;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.rfind("Stream", 0) != 0 || name.size() == 6) continue;
        int id = 0;
        const auto parsed = std::from_chars(name.data() + 6, name.data() + name.size(), id);
        // Another engine's exports (another tag, or none) are not this engine's streams.
        if (parsed.ec == std::errc() && id >= 0 && "/" + name == Utilities::exportName(unsigned(id), engineExportTag()))
            ids.push_back(id);
    }
    ::closedir(directory);
    std::sort(ids.begin(), ids.end());
    return ids;
}

} // namespace Ctl
