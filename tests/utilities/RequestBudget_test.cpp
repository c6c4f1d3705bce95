#include "utilities/RequestBudget.hpp"

#include <gtest/gtest.h>

using Utilities::RequestBudget;
using namespace std::chrono_literals;

// A burst is served whole, then requests come at the budget's rate, and an idle client earns back
// no more than one burst.
TEST(RequestBudgetTest, ABurstThenTheRateAndNoMoreThanOneBurstSaved) {
    const auto start = RequestBudget::Clock::time_point{} + 1h;
    RequestBudget budget(100, 500, start);
    for (int i = 0; i < 500; ++i) ASSERT_TRUE(budget.take(start)) << i;
    EXPECT_FALSE(budget.take(start));
    EXPECT_EQ(budget.nextShare(start), start + 10ms);
    int served = 0;
    for (auto now = start; now < start + 1s; now += 1ms) served += budget.take(now) ? 1 : 0;
    EXPECT_NEAR(served, 100, 1);
    const auto later = start + 1h;
    for (int i = 0; i < 500; ++i) ASSERT_TRUE(budget.take(later)) << i;
    EXPECT_FALSE(budget.take(later));
}
