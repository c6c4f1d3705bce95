#pragma once

// How many requests a client may send: a burst of `burst` at once, then `perSecond` on average
// (a token bucket). The engine closes a client that overdraws it; vantrellctl paces itself by a
// smaller one so it never does. Header only: vantrellctl links no engine code.

#include <algorithm>
#include <chrono>

namespace Utilities {

class RequestBudget {
public:
    using Clock = std::chrono::steady_clock;

    RequestBudget(double perSecond, double burst, Clock::time_point now = Clock::now())
        : _perSecond(perSecond), _burst(burst), _left(burst), _refilledAt(now) {}

    // Takes one request's share; false when none is left.
    bool take(Clock::time_point now = Clock::now()) { return takeShares(1.0, now); }
    // Takes `shares` at once; false, taking nothing, when fewer are left.
    bool takeShares(double shares, Clock::time_point now = Clock::now()) {
        refill(now);
        if (_left < shares) return false;
        _left -= shares;
        return true;
    }
    // Takes `shares` whether or not they are left: the debt is repaid before the next take succeeds.
    void charge(double shares, Clock::time_point now = Clock::now()) {
        refill(now);
        _left -= shares;
    }
    // When `shares` are there (now when they are left).
    Clock::time_point nextShare(Clock::time_point now = Clock::now(), double shares = 1.0) {
        refill(now);
        if (_left >= shares || _perSecond <= 0.0) return now;
        return now +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>((shares - _left) / _perSecond));
    }

private:
    void refill(Clock::time_point now) {
        const double elapsed = std::chrono::duration<double>(now - _refilledAt).count();
        _left = std::min(_burst, _left + std::max(0.0, elapsed) * _perSecond);
        _refilledAt = now;
    }

    double _perSecond;
    double _burst;
    double _left;
    Clock::time_point _refilledAt;
};

} // namespace Utilities
