#include "sessions/SessionFile.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool writeAll(int fd, const std::string& contents) {
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// The mode a plainly created file would get, or the existing file's mode when it is replaced.
mode_t modeFor(const std::string& path) {
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) return existing.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

void syncDirectory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// What a save may write to: the path itself, or the regular file a symbolic link at it names. Empty
// (with `reason` set) when the path holds something a save must not destroy. Only lstat and
// realpath: nothing is opened, so a FIFO never blocks the engine.
std::string saveTarget(const std::string& path, std::string& reason) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return path;  // a new file
        reason = std::strerror(errno);
        return {};
    }
    std::string target = path;
    if (S_ISLNK(info.st_mode)) {
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved) || ::stat(resolved, &info) != 0) {
            reason = "it is a symbolic link to nothing";
            return {};
        }
        target = resolved;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "it is not a regular file";
        return {};
    }
    return target;
}

} // namespace

bool replaceFileContents(const std::string& path, const std::string& contents, std::string* reason) {
    std::string why;
    const std::string resolved = saveTarget(path, why);
    if (resolved.empty()) {
        if (reason) *reason = why;
        return false;
    }
    const std::filesystem::path target(resolved);
    if (target.filename().empty()) {
        if (reason) *reason = "it names no file";
        return false;
    }
    const std::filesystem::path directory = target.has_parent_path() ? target.parent_path() : ".";
    std::string leaf(".");
    leaf.append(target.filename().string()).append(".XXXXXX");
    const std::string name = (directory / leaf).string();
    std::vector<char> pattern(name.begin(), name.end());
    pattern.push_back('\0');

    // The system's own reason, for the user to act on (a read-only folder, a full disk).
    auto fail = [reason](int error) {
        if (reason) *reason = std::strerror(error);
        return false;
    };
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return fail(errno);
    const std::string temporary(pattern.data());
    const bool written = ::fchmod(fd, modeFor(resolved)) == 0 && writeAll(fd, contents) && ::fsync(fd) == 0;
    int error = written ? 0 : errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), resolved.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return fail(error);
    }
    syncDirectory(directory);
    return true;
}

namespace {

// Why a file of this status may not be read; empty when it may.
std::string readRefusal(const struct stat& info, std::size_t limit) {
    if (!S_ISREG(info.st_mode)) return "it is not a regular file";
    if (static_cast<unsigned long long>(info.st_size) > limit)
        return std::to_string(info.st_size) + " bytes is beyond the limit of " + std::to_string(limit);
    return {};
}

} // namespace

bool readBoundedFile(const std::string& path, std::size_t limit, std::string& contents, std::string& reason) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (reason = readRefusal(info, limit); !reason.empty()) return false;
    // Non-blocking: the path may have become a FIFO since the look above.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (::fstat(fd, &info) != 0) reason = std::strerror(errno);
    else reason = readRefusal(info, limit);
    contents.clear();
    if (reason.empty()) {
        contents.resize(static_cast<std::size_t>(info.st_size));
        std::size_t filled = 0;
        // A file that grows meanwhile is read up to the size it had; one that shrinks ends early.
        while (filled < contents.size()) {
            const ssize_t got = ::read(fd, contents.data() + filled, contents.size() - filled);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                reason = std::strerror(errno);
                break;
            }
            if (got == 0) break;
            filled += static_cast<std::size_t>(got);
        }
        contents.resize(filled);
    }
    ::close(fd);
    return reason.empty();
}
