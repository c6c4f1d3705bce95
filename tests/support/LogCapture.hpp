#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

// Captures standard output and standard error for its lifetime (or until take()).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Stops capturing; returns stdout followed by stderr. Later calls return the same text.
    const std::string& take();
    const std::string& out();
    const std::string& err();
    bool contains(const std::string& text);
    // Occurrences of text in stdout and stderr together.
    int count(const std::string& text);

private:
    bool capturing_{true};
    std::string out_, err_, both_;
};

// One console log line as (level, context, message); the source line number is left out.
struct LogLine {
    std::string level, context, message;
    bool operator==(const LogLine&) const = default;
};

void PrintTo(const LogLine& line, std::ostream* os);

struct Logs {
    std::vector<LogLine> out, err;
};

// Runs `action` with both console streams captured and returns the engine log lines it wrote.
Logs captureLogs(const std::function<void()>& action);

} // namespace testsupport
