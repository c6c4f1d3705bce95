// A witness for bench/serverbench.sh glitch: a real-time thread that asks to wake every millisecond
// and prints each wake-up that came late by LATE_MS or more, as "late <ms> at <CLOCK_MONOTONIC s>".
// With CPU it stays on that core: a stolen core stalls the threads on it, not those on the other.
// When a thread at the top real-time priority, doing nothing else, wakes 10 ms late, the machine
// itself stopped (the hypervisor ran something else, or the kernel did): no sound server or client
// on it keeps a 16 ms buffer through that.
//   vantrell_wakeprobe SECONDS [LATE_MS [CPU]]
// Runs at SCHED_FIFO 90 when it may (it says "not real-time: ..." when it may not), and says
// "waking every 1 ms" once under way.

#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

double seconds(const timespec& t) { return double(t.tv_sec) + double(t.tv_nsec) * 1e-9; }

void advance(timespec& t, long nanoseconds) {
    t.tv_nsec += nanoseconds;
    while (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vantrell_wakeprobe SECONDS [LATE_MS [CPU]]\n");
        return 2;
    }
    const double runFor = std::atof(argv[1]);
    const double lateMs = argc > 2 ? std::atof(argv[2]) : 2.0;
    if (argc > 3) {
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(std::atoi(argv[3]), &only);
        if (sched_setaffinity(0, sizeof only, &only) != 0) std::printf("not pinned: %s\n", std::strerror(errno));
    }
    sched_param param{};
    param.sched_priority = 90;
    if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) std::printf("not real-time: %s\n", std::strerror(errno));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("waking every 1 ms\n");

    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    const double end = seconds(due) + runFor;
    for (;;) {
        advance(due, 1000000L);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double late = (seconds(now) - seconds(due)) * 1000.0;
        if (late >= lateMs) {
            std::printf("late %.2f at %.4f\n", late, seconds(due));
            due = now; // one report per stall, not one per millisecond it swallowed
        }
        if (seconds(now) >= end) return 0;
    }
}
