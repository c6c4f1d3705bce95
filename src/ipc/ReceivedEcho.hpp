#pragma once

#include "utilities/RequestBudget.hpp"

#include <cstddef>
#include <ostream>

namespace IPC {

// Writes what the socket receives to the console as text, up to its first zero byte, with anything
// outside printable ASCII written as \xHH so a client cannot drive the operator's terminal. The text
// is bounded in bytes for all clients together: past kBurstBytes, kBytesPerSecond on average; what
// does not fit is counted, and one line says how much before the echo resumes. Socket thread only.
class ReceivedEcho {
public:
    using Clock = Utilities::RequestBudget::Clock;
    static constexpr double kBytesPerSecond = 32 * 1024;
    static constexpr double kBurstBytes = 256 * 1024;

    explicit ReceivedEcho(std::ostream& out, Clock::time_point now = Clock::now());

    void echo(const char* bytes, std::size_t count, Clock::time_point now = Clock::now());

private:
    std::ostream& _out;
    Utilities::RequestBudget _budget;
    unsigned long long _unshownReads{0}, _unshownBytes{0};
};

} // namespace IPC
