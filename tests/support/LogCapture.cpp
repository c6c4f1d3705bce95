#include "LogCapture.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace testsupport {

LogCapture::LogCapture() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

LogCapture::~LogCapture() { take(); }

const std::string& LogCapture::take() {
    if (capturing_) {
        out_ = testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        both_ = out_ + err_;
        capturing_ = false;
    }
    return both_;
}

const std::string& LogCapture::out() {
    take();
    return out_;
}

const std::string& LogCapture::err() {
    take();
    return err_;
}

bool LogCapture::contains(const std::string& text) { return take().find(text) != std::string::npos; }

int LogCapture::count(const std::string& text) {
    const std::string& all = take();
    int found = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++found;
    return found;
}

void PrintTo(const LogLine& line, std::ostream* os) {
    *os << "[" << line.level << "] {" << line.context << "} " << line.message;
}

Logs captureLogs(const std::function<void()>& action) {
    static const std::regex pattern(
        "\x1b\\[\\d+m\\[(LOG|ERROR|SUCCESS)\\] (?:\\(-?\\d+\\) )?(?:\\(in function (\\S+?)(?: at line \\d+)?\\) )?(.*)\x1b\\[0m");
    const auto parse = [](const std::string& text) {
        std::vector<LogLine> lines;
        std::istringstream stream(text);
        std::smatch match;
        for (std::string raw; std::getline(stream, raw);)
            if (std::regex_match(raw, match, pattern)) lines.push_back({match[1], match[2], match[3]});
        return lines;
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    action();
    const std::string out = testing::internal::GetCapturedStdout();
    return {parse(out), parse(testing::internal::GetCapturedStderr())};
}

} // namespace testsupport
