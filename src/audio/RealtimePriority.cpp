#include "audio/RealtimePriority.hpp"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace audio::detail {

namespace {

// Below the sound servers' own threads (they ask for 5 to 20 and keep the device side first),
// above every ordinary thread.
constexpr int kWantedPriority = 5;

#ifndef SCHED_RESET_ON_FORK
#define SCHED_RESET_ON_FORK 0x40000000
#endif

bool trySchedFifo(int priority) {
    sched_param param{};
    param.sched_priority = priority;
    // Children (a shell the engine starts) must not inherit it.
    return sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0;
}

} // namespace

std::string requestRealtimeScheduling() {
    if (const char* setting = std::getenv("VANTRELL_REALTIME"); setting && std::strcmp(setting, "off") == 0)
        return "turned off by VANTRELL_REALTIME=off";
    if (trySchedFifo(kWantedPriority)) return ""; // privileged (CAP_SYS_NICE) or within the limit
    const int firstError = errno;

    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0) return std::strerror(errno);
    const rlim_t reachable = std::min<rlim_t>(limit.rlim_max, kWantedPriority);
    if (reachable == 0)
        return "the rtprio limit is 0 (" + std::string(std::strerror(firstError)) +
               "); raise it in /etc/security/limits.conf";
    if (limit.rlim_cur < reachable) {
        limit.rlim_cur = reachable;
        if (setrlimit(RLIMIT_RTPRIO, &limit) != 0) return std::strerror(errno);
    }
    if (trySchedFifo(static_cast<int>(reachable))) return "";
    return std::strerror(errno);
}

} // namespace audio::detail

std::string audio::realtimeRefusalNotice(const std::string& why) {
    return "The audio thread runs at normal priority: real-time scheduling refused (" + why + ")";
}
