#include "utilities/Log.hpp"

#include "utilities/Printable.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

bool& rotationRefusalReported() {
    static bool reported = false;
    return reported;
}

constexpr std::uint64_t kDefaultLogMaxBytes = 8u << 20;

std::uint64_t logMaxBytesFromEnvironment() {
    const char* text = std::getenv("VANTRELL_LOG_MAX_BYTES");
    if (!text || !*text) return kDefaultLogMaxBytes;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || text[0] == '-') return kDefaultLogMaxBytes;
    return value;
}

std::uint64_t& logMaxBytes() {
    static std::uint64_t bytes = logMaxBytesFromEnvironment();
    return bytes;
}

// The log file opened for one append, or -1. Never follows a symbolic link, never waits on a FIFO,
// creates the file owner-only, and takes nothing but a regular file of the engine's own user: the
// path sits in a directory every user can write to. `opened` receives the file's status.
int openLogFile(const std::string& path, struct stat& opened) {
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
        struct stat& info = opened;
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

// Moves the full log at `path` (open as `fd`, described by `opened`) to `path`.1, replacing only a
// regular file of the engine's user there: in a directory every user can write to, the name may
// hold someone else's file or link. When it cannot, the log starts afresh in place instead of
// growing without bound.
void rotateLogFile(const std::string& path, int fd, const struct stat& opened) {
    const std::string previous = path + ".1";
    struct stat current {}, existing {};
    // Another engine sharing the log may have rotated it already: then there is nothing to move.
    if (::lstat(path.c_str(), &current) != 0 || current.st_dev != opened.st_dev || current.st_ino != opened.st_ino)
        return;
    std::string refusal;
    if (::lstat(previous.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) refusal = "it is not a regular file";
        else if (existing.st_uid != ::geteuid())
            refusal = "it belongs to another user (uid " + std::to_string(existing.st_uid) + ")";
    } else if (errno != ENOENT) {
        refusal = std::strerror(errno);
    }
    if (refusal.empty() && ::rename(path.c_str(), previous.c_str()) == 0) return;
    if (refusal.empty()) refusal = std::strerror(errno);
    if (!rotationRefusalReported()) {
        rotationRefusalReported() = true;
        std::cerr << "Not keeping the previous log in " + previous + ": " + refusal + "; the log starts afresh\n";
    }
    if (::ftruncate(fd, 0) != 0) std::cerr << "Could not empty the log file " + path + "\n";
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

// The longest message a line carries. Messages quote names and paths that clients send; without a
// bound one request of 64 KiB would write a line of 256 KiB to the console and the file.
constexpr std::size_t kLongestMessage = 2048;

std::string boundedMessage(const std::string& message, bool verbatim) {
    if (message.size() <= kLongestMessage) return verbatim ? message : printable(message);
    std::size_t cut = kLongestMessage;
    // Not inside a character: back over its continuation bytes.
    while (cut > 0 && (static_cast<unsigned char>(message[cut]) & 0xC0) == 0x80) --cut;
    const std::string kept = message.substr(0, cut);
    return (verbatim ? kept : printable(kept)) + " ... (" + std::to_string(message.size() - cut) +
           " more bytes not shown)";
}

thread_local int quietDepth = 0;
thread_local FirstErrorScope* errorScope = nullptr;

void writeConsoleLine(std::ostream& stream, const char* colour, const char* tag, const std::string& message,
                      const std::string& context, int line, int code, bool verbatim = false) {
    if (quietDepth > 0) return;
    // Messages carry names from clients and servers: only our own sequences may reach the terminal.
    const std::string consoleLine = colour + std::string(tag) + codePart(code) + contextPart(printable(context), line) +
                                    boundedMessage(message, verbatim) + kReset + "\n";
    std::lock_guard<std::recursive_mutex> guard(logMutex());
    logToFile(consoleLine, context, line, code);
    stream << consoleLine;
}

} // namespace

bool quiet() { return quietDepth > 0; }

QuietScope::QuietScope() { ++quietDepth; }
QuietScope::~QuietScope() { --quietDepth; }

FirstErrorScope::FirstErrorScope() : outer(errorScope) { errorScope = this; }
FirstErrorScope::~FirstErrorScope() { errorScope = outer; }

void log(const std::string& message, const std::string& context, int line, int code) {
    writeConsoleLine(std::cout, kYellow, "[LOG] ", message, context, line, code);
}

void logVerbatim(const std::string& message, const std::string& context, int line, int code) {
    writeConsoleLine(std::cout, kYellow, "[LOG] ", message, context, line, code, true);
}

void error(const std::string& message, const std::string& context, int line, int code) {
    if (errorScope && errorScope->first.empty() && quietDepth == 0) errorScope->first = message;
    writeConsoleLine(std::cerr, kRed, "[ERROR] ", message, context, line, code);
}

void success(const std::string& message, const std::string& context, int line, int code) {
    writeConsoleLine(std::cout, kGreen, "[SUCCESS] ", message, context, line, code);
}

void logToFile(const std::string& message, const std::string& context, int line, int code) {
    std::lock_guard<std::recursive_mutex> guard(logMutex());
    struct stat opened {};
    int fd = openLogFile(logFilePath(), opened);
    if (fd < 0) return;
    // One write, so the entry is appended whole; an entry that would take the file past its cap goes
    // to a fresh file, never half here and half there.
    const std::string entry = "[LOG] " + codePart(code) + contextPart(context, line) + message + "\n";
    if (opened.st_size > 0 && std::uint64_t(opened.st_size) + entry.size() > logMaxBytes()) {
        rotateLogFile(logFilePath(), fd, opened);
        ::close(fd);
        fd = openLogFile(logFilePath(), opened);
        if (fd < 0) return;
    }
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
    rotationRefusalReported() = false;
    logMaxBytes() = logMaxBytesFromEnvironment();
}

} // namespace Utilities
