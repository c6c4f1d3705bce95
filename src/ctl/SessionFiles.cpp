#include "ctl/SessionFiles.hpp"

#include "ctl/Failure.hpp"
#include "ctl/Output.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <unistd.h>

namespace Ctl {

namespace {

using Document = nlohmann::json;

std::string mebibytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1 << 20));
    return text;
}

// The whole file, read from a descriptor that is known to be a regular file of a bounded size.
std::string readBounded(const std::string& path) {
    // Non-blocking, so opening a FIFO does not wait for a writer; only then is its type known.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw Failure(kRefused, "cannot read " + path + " (" + std::strerror(errno) + ")");
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw Failure(kRefused, "cannot read " + path + " (" + std::strerror(errno) + ")");
    if (!S_ISREG(info.st_mode)) throw Failure(kRefused, "not a regular file: " + path + " (a session is a file)");
    if (static_cast<std::uintmax_t>(info.st_size) > kLargestSessionFile)
        throw Failure(kRefused, path + " is " + mebibytes(static_cast<double>(info.st_size)) + ", above the " +
                                    mebibytes(kLargestSessionFile) + " a session file may hold");
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::string contents;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure(kRefused, "cannot read " + path + " (" + std::strerror(errno) + ")");
        if (n == 0) return contents;
        // A file that grows while it is read is still bounded.
        if (contents.size() + static_cast<std::size_t>(n) > kLargestSessionFile)
            throw Failure(kRefused, path + " grew above the " + mebibytes(kLargestSessionFile) +
                                        " a session file may hold");
        contents.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<float> volumeOf(const Document& stream) {
    const auto effects = stream.find("effects");
    if (effects == stream.end() || !effects->is_array()) return std::nullopt;
    for (const auto& effect : *effects) {
        if (!effect.is_object() || effect.value("name", Document()) != "VolumeEffect") continue;
        const auto parameters = effect.find("parameters");
        if (parameters == effect.end() || !parameters->is_object()) return std::nullopt;
        const auto volume = parameters->find("volume");
        if (volume == parameters->end() || !volume->is_number()) return std::nullopt;
        return volume->get<float>();
    }
    return std::nullopt;
}

std::string describe(int id, const std::string& name) {
    return "stream " + std::to_string(id) + (name.empty() ? "" : " (" + escapeForTerminal(name) + ")");
}

} // namespace

std::string absoluteSessionPath(const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal();
}

std::vector<SessionStream> readSessionFile(const std::string& path) {
    const auto document = Document::parse(readBounded(path), nullptr, false);
    if (document.is_discarded() || !document.is_array() || document.size() < 3)
        throw Failure(kRefused, "not a session file: " + path);
    std::vector<SessionStream> streams;
    if (!document[1].is_array()) return streams;
    // What the engine cannot load it refuses whole; what is read here only has to be compared.
    for (const auto& entry : document[1]) {
        if (!entry.is_object()) continue;
        SessionStream stream;
        const auto id = entry.find("streamId");
        if (id != entry.end() && id->is_number_integer()) stream.id = id->get<int>();
        const auto options = entry.find("options");
        if (options != entry.end() && options->is_object()) {
            const auto name = options->find("streamName");
            if (name != options->end() && name->is_string()) stream.name = name->get<std::string>();
        }
        stream.volume = volumeOf(entry);
        streams.push_back(std::move(stream));
    }
    return streams;
}

std::optional<std::string> loadDifference(const std::vector<SessionStream>& file,
                                          const std::vector<StreamEntry>& engine) {
    for (const auto& wanted : file) {
        const auto held = std::find_if(engine.begin(), engine.end(), [&](const auto& s) { return s.id == wanted.id; });
        if (held == engine.end()) return describe(wanted.id, wanted.name) + " of the file is missing";
        if (held->name != wanted.name) return describe(wanted.id, wanted.name) + " is named '" + escapeForTerminal(held->name) + "'";
        if (wanted.volume && held->volume >= 0 &&
            std::fabs(held->volume - *wanted.volume) > 1e-3f * std::max(1.0f, std::fabs(*wanted.volume)))
            return describe(wanted.id, wanted.name) + " has volume " + fixed(held->volume) +
                   ", the file sets " + fixed(*wanted.volume);
    }
    if (engine.size() != file.size())
        return "the engine holds " + std::to_string(engine.size()) + " streams, the file lists " +
               std::to_string(file.size());
    return std::nullopt;
}

} // namespace Ctl
