#pragma once

// The sum of several streams that play to one device stream. Each stream (a member) adds its
// periods at its own position in a ring; the frames every playing member has passed are complete
// and go to the device. A member is waited for once it has added its first period, which it may
// add at once, without waiting for the device's room (the others could take all of that before it
// is asked). When the device is about to run dry, what the members ahead have added goes out with
// the late ones silent in it, and they are told, as an underflow. No allocation once the members
// have joined.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace audio::detail {

class OutputMix {
public:
    // A member's place in the mix; owned by the member, registered with join().
    struct Member {
        std::uint64_t position{0}; // the frame its next period starts at
        bool playing{false};       // has added a period since it joined and was not paused: waited for
        bool cutShort{false};      // frames went out without its part: an underflow to report
    };

    OutputMix(unsigned int channels, std::size_t capacityFrames);

    // Control side (the members' list may grow here, never while periods run).
    void join(Member& member);
    void leave(Member& member);
    // A member that halts stays registered but holds nobody back.
    void pause(Member& member) { member.playing = false; }
    // A member that cannot play for now (its input stalled) and is `behind` frames or more behind
    // the furthest one holds nobody back either: what goes out meanwhile is silent for it, and it is
    // told, as an underflow. Its next period lands where the device is; it is waited for from there.
    void release(Member& member, std::size_t behind);

    // How many frames the member may add now, when the device takes `deviceRoom` more.
    std::size_t room(const Member& member, std::size_t deviceRoom) const;
    // Adds one period of the member's output at its position.
    void add(Member& member, const float* samples, std::size_t frames);

    // Frames every playing member has added and the device has not had yet.
    std::size_t complete() const;
    // Frames the furthest member has added past what the device had.
    std::size_t ahead() const;
    // The device is about to run dry: the late members are moved up to the furthest one, and what
    // they missed goes out silent for them.
    void cutLateMembers();

    // Hands the first `frames` pending frames to `write` (in one or two pieces: the ring wraps) and
    // clears them for the next round.
    template <typename Write> void take(std::size_t frames, Write&& write) {
        while (frames > 0) {
            const std::size_t at = std::size_t(written_ % capacity_);
            const std::size_t piece = std::min(frames, capacity_ - at);
            float* samples = ring_.data() + at * channels_;
            write(samples, piece);
            std::fill(samples, samples + piece * channels_, 0.0f);
            written_ += piece;
            frames -= piece;
        }
    }

    std::uint64_t written() const { return written_; }

private:
    std::size_t lead(const Member& member) const {
        return member.position > written_ ? std::size_t(member.position - written_) : 0;
    }

    const unsigned int channels_;
    const std::size_t capacity_;
    std::vector<float> ring_;
    std::uint64_t written_{0};
    std::vector<Member*> members_;
};

} // namespace audio::detail
