#include "utilities/Log.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace Utilities {

const char* const kLogFilePath = "/tmp/vantrell_runtime.log";

namespace {

constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kReset = "\x1b[0m";

// One lock for the console and the file, so a line and its file entry go out as one unit.
// Recursive because a console writer calls logToFile while holding it.
std::recursive_mutex& logMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

std::string& logFilePath() {
    static std::string path = kLogFilePath;
    return path;
}

// Set once the current path has been refused, so the refusal is said once, not on every line.
bool& refusalReported() {
    static bool reported = false;
    return reported;
}

// The log file opened for one append, or -1. Never follows a symbolic link, never waits on a FIFO,
// creates the file owner-only, and takes nothing but a regular file of the engine's own user: the
// path sits in a directory every user can write to.
int openLogFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    std::string refusal;
    if (fd < 0) {
        if (errno == ELOOP) refusal = "it is a symbolic link";
        else if (errno == ENXIO) refusal = "it is not a regular file"; // a FIFO nobody reads
        else {
            std::cerr << "Could not open log file: " + path + "\n";
            return -1;
        }
    } else {
        struct stat info {};
        if (::fstat(fd, &info) != 0) refusal = std::strerror(errno);
        else if (!S_ISREG(info.st_mode)) refusal = "it is not a regular file";
        else if (info.st_uid != ::geteuid()) refusal = "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
        if (refusal.empty()) return fd;
        ::close(fd);
    }
    if (!refusalReported()) {
        refusalReported() = true;
        std::cerr << "Not writing the log file " + path + ": " + refusal + "\n";
    }
    return -1;
}

std::string codePart(int code) {
    return code == 0 ? std::string() : "(" + std::to_string(code) + ") ";
}

std::string contextPart(const std::string& context, int line) {
    if (context.empty()) return {};
    std::string part = "(in function " + context;
    if (line != 0) part += " at line " + std::to_string(line);
    return part + ") ";
}

thread_local int quietDepth = 0;

void writeConsoleLine(std::ostream& stream, const char* colour, const char* tag,
                      const std::string& message, const std::string& context, int line, int code) {
    if (quietDepth > 0) return;
    const std::string consoleLine =
        colour + std::string(tag) + codePart(code) + contextPart(context, line) + message + kReset + "\n";
    std::lock_guard<std::recursive_mutex> guard(logMutex());
    logToFile(consoleLine, context, line, code);
    stream << consoleLine;
}

} // namespace

QuietScope::QuietScope() { ++quietDepth; }
QuietScope::~QuietScope() { --quietDepth; }

void log(const std::string& message, const std::string& context, int line, int code) {
    writeConsoleLine(std::cout, kYellow, "[LOG] ", message, context, line, code);
}

void error(const std::string& message, const std::string& context, int line, int code) {
    writeConsoleLine(std::cerr, kRed, "[ERROR] ", message, context, line, code);
}

void success(const std::string& message, const std::string& context, int line, int code) {
    writeConsoleLine(std::cout, kGreen, "[SUCCESS] ", message, context, line, code);
}

void logToFile(const std::string& message, const std::string& context, int line, int code) {
    std::lock_guard<std::recursive_mutex> guard(logMutex());
    const int fd = openLogFile(logFilePath());
    if (fd < 0) return;
    // One write, so the entry is appended whole.
    const std::string entry = "[LOG] " + codePart(code) + contextPart(context, line) + message + "\n";
    std::size_t written = 0;
    while (written < entry.size()) {
        const ssize_t n = ::write(fd, entry.data() + written, entry.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void lineBufferStandardStreams() {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
}

void setLogFilePathForTesting(const std::string& path) {
    std::lock_guard<std::recursive_mutex> guard(logMutex());
    logFilePath() = path;
    refusalReported() = false;
}

} // namespace Utilities
