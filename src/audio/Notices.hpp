#pragma once

// What the audio layer has to tell the operator that is neither an error nor a stream's failure
// (for example that a stream now follows its input's clock). The application decides where it goes.

#include <functional>
#include <string>

namespace audio {

// Replaces the process's one notice listener (none: notices are dropped).
void setNoticeListener(std::function<void(const std::string&)> listener);

namespace detail {
// Calls the listener, if one is set. Never from a thread that runs periods: post it to the
// deferred reports.
void postNotice(const std::string& text);
} // namespace detail

} // namespace audio
