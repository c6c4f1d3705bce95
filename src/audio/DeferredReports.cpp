#include "audio/DeferredReports.hpp"

#include <algorithm>

namespace audio::detail {

void DeferredReports::deliver(std::weak_ptr<ReportGate> gate, Result report) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const auto same = [&](const auto& waiting) {
            return !waiting.first.owner_before(gate) && !gate.owner_before(waiting.first) &&
                   waiting.second.fault() == report.fault() && waiting.second.reason() == report.reason();
        };
        if (std::none_of(waiting_.begin(), waiting_.end(), same)) waiting_.emplace_back(std::move(gate), std::move(report));
    }
    queue_.wake();
}

void DeferredReports::deliverWaiting() {
    std::vector<std::pair<std::weak_ptr<ReportGate>, Result>> due;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        due.swap(waiting_);
    }
    for (const auto& [weak, report] : due)
        if (auto gate = weak.lock()) gate->deliver(report);
}

DeferredReports& deferredReports() {
    static DeferredReports* instance = new DeferredReports;
    return *instance;
}

} // namespace audio::detail
