#include "LogCapture.hpp"

#include <gtest/gtest.h>

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

} // namespace testsupport
