// Reports of lost devices reach every stream's owner, however many streams lose one at once.

#include "audio/DeferredReports.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using audio::Fault;
using audio::Result;
using audio::detail::ReportGate;

TEST(DeferredReports, NoStreamsReportIsDroppedWhileTheQueueIsBusy) {
    auto& reports = audio::detail::deferredReports();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    reports.post([released] { released.wait(); });
    // Notices past the bound are dropped; they must not crowd out the reports.
    for (int i = 0; i < 100; ++i) reports.post([] {});

    std::atomic<int> delivered{0};
    std::vector<std::shared_ptr<ReportGate>> gates;
    for (int i = 0; i < 70; ++i) {
        gates.push_back(std::make_shared<ReportGate>([&](const Result&) { ++delivered; }));
        for (int repeat = 0; repeat < 2; ++repeat)
            reports.deliver(gates.back(), Result::failure(Fault::DeviceLost, "Sink went away"));
    }
    release.set_value();
    reports.drain();
    EXPECT_EQ(delivered.load(), 70) << "each stream told once";
}
