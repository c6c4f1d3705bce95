#include "engine/SnapshotAllowance.hpp"

SnapshotAllowance::SnapshotAllowance(Clock::time_point now)
    : budget_(kBytesPerMinute / 60.0, static_cast<double>(kBytesPerMinute), now) {}

unsigned long SnapshotAllowance::take(std::size_t bytes, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (budget_.takeShares(static_cast<double>(bytes), now)) return 0;
    return ++unwritten_;
}

SnapshotAllowance& SnapshotAllowance::processWide() {
    static SnapshotAllowance allowance;
    return allowance;
}
