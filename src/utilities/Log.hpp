#pragma once

#include <string>

namespace Utilities {

// Every diagnostic goes through these. Each call writes one coloured console line and appends the
// same line to the runtime log file. A line is written whole: concurrent callers never interleave.
void log(const std::string& message, const std::string& context = "", int line = 0, int code = 0);
void error(const std::string& message, const std::string& context = "", int line = 0, int code = 0);
void success(const std::string& message, const std::string& context = "", int line = 0, int code = 0);
void logToFile(const std::string& message, const std::string& context = "", int line = 0, int code = 0);
// log, error and success write control characters in a message out as text (see printable): names in
// it come from clients, files and other people's devices. This one writes the message as it is, for
// a line made of the engine's own words and numbers with terminal sequences of its own (a swatch).
void logVerbatim(const std::string& message, const std::string& context = "", int line = 0, int code = 0);

// Silences this thread's diagnostics while it lives: for work that repeats, line for line, a change
// that has just been logged (the per-stream instances of a master effect following the master).
class QuietScope {
public:
    QuietScope();
    ~QuietScope();
    QuietScope(const QuietScope&) = delete;
    QuietScope& operator=(const QuietScope&) = delete;
};

// Whether this thread's diagnostics are silenced: lets a caller skip building lines nobody writes.
bool quiet();

// Keeps the message of the first error this thread logs while it lives: the reason a command failed.
class FirstErrorScope {
public:
    FirstErrorScope();
    ~FirstErrorScope();
    FirstErrorScope(const FirstErrorScope&) = delete;
    FirstErrorScope& operator=(const FirstErrorScope&) = delete;
    const std::string& message() const { return first; }

private:
    friend void error(const std::string&, const std::string&, int, int);
    std::string first;
    FirstErrorScope* outer;
};

// Makes standard output and standard error line-buffered, so every log line leaves the process
// when it is written even when the output is a pipe or a file. Call once at start-up.
void lineBufferStandardStreams();

// The runtime log file. Tests may point it elsewhere; the engine never does. An entry that would
// take the file past VANTRELL_LOG_MAX_BYTES (read once; default 8 MiB) first moves it to the same
// path with ".1" appended, replacing the previous one, and starts a new file.
extern const char* const kLogFilePath;
// Also reads VANTRELL_LOG_MAX_BYTES again.
void setLogFilePathForTesting(const std::string& path);

} // namespace Utilities
