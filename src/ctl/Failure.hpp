#pragma once

#include <stdexcept>
#include <string>

namespace Ctl {

// vantrellctl's exit statuses; docs/vantrellctl.md lists them for scripts.
enum ExitStatus : int {
    kOk = 0,
    kRefused = 1,    // no such stream, effect or parameter, or the engine refused the change
    kUsage = 2,      // bad arguments
    kNotRunning = 3, // nothing answers at the socket path
    kNoReply = 4,    // no answer in time, connection lost, or a reply that does not decode
};

// What ends a subcommand early: the message for standard error and the status to exit with.
class Failure : public std::runtime_error {
public:
    Failure(ExitStatus status, const std::string& message) : std::runtime_error(message), _status(status) {}
    ExitStatus status() const { return _status; }

private:
    ExitStatus _status;
};

} // namespace Ctl
