#pragma once

#include <string>

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

} // namespace testsupport
