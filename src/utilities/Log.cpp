#include "utilities/Log.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>

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

std::string codePart(int code) {
    return code == 0 ? std::string() : "(" + std::to_string(code) + ") ";
}

std::string contextPart(const std::string& context, int line) {
    if (context.empty()) return {};
    std::string part = "(in function " + context;
    if (line != 0) part += " at line " + std::to_string(line);
    return part + ") ";
}

void writeConsoleLine(std::ostream& stream, const char* colour, const char* tag,
                      const std::string& message, const std::string& context, int line, int code) {
    const std::string consoleLine =
        colour + std::string(tag) + codePart(code) + contextPart(context, line) + message + kReset + "\n";
    std::lock_guard<std::recursive_mutex> guard(logMutex());
    logToFile(consoleLine, context, line, code);
    stream << consoleLine;
}

} // namespace

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
    std::ofstream file(logFilePath(), std::ios::app);
    if (!file.is_open()) {
        std::cerr << "Could not open log file: " << logFilePath() << std::endl;
        return;
    }
    file << "[LOG] " << codePart(code) << contextPart(context, line) << message << std::endl;
}

void lineBufferStandardStreams() {
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
}

void setLogFilePathForTesting(const std::string& path) {
    std::lock_guard<std::recursive_mutex> guard(logMutex());
    logFilePath() = path;
}

} // namespace Utilities
