#include "audio/OutputMix.hpp"

namespace audio::detail {

OutputMix::OutputMix(unsigned int channels, std::size_t capacityFrames)
    : channels_(channels), capacity_(std::max<std::size_t>(capacityFrames, 1)), ring_(capacity_ * channels_) {}

void OutputMix::join(Member& member) {
    // It starts where the device is: nothing it adds can land in frames already gone.
    member = Member{written_, false, false};
    members_.push_back(&member);
}

void OutputMix::leave(Member& member) {
    member.playing = false;
    std::erase(members_, &member);
}

void OutputMix::release(Member& member, std::size_t behind) {
    if (!member.playing || lead(member) + behind > ahead()) return;
    member.playing = false;
    member.cutShort = true;
}

std::size_t OutputMix::room(const Member& member, std::size_t deviceRoom) const {
    // Never more than the ring holds past what the device has had; a newcomer's first period lands
    // where the device is and may come before the device asks.
    const std::size_t limit = member.playing ? std::min(deviceRoom, capacity_) : capacity_;
    const std::size_t ahead = lead(member);
    return limit > ahead ? limit - ahead : 0;
}

void OutputMix::add(Member& member, const float* samples, std::size_t frames) {
    if (member.position < written_) member.position = written_;
    for (std::size_t done = 0; done < frames;) {
        const std::size_t at = std::size_t((member.position + done) % capacity_);
        const std::size_t piece = std::min(frames - done, capacity_ - at);
        float* to = ring_.data() + at * channels_;
        const float* from = samples + done * channels_;
        for (std::size_t i = 0; i < piece * channels_; ++i) to[i] += from[i];
        done += piece;
    }
    member.position += frames;
    member.playing = true;
}

std::size_t OutputMix::complete() const {
    std::uint64_t least = UINT64_MAX;
    for (const Member* member : members_)
        if (member->playing) least = std::min(least, member->position);
    return least == UINT64_MAX || least <= written_ ? 0 : std::size_t(least - written_);
}

std::size_t OutputMix::ahead() const {
    std::size_t most = 0;
    for (const Member* member : members_)
        if (member->playing) most = std::max(most, lead(*member));
    return most;
}

void OutputMix::cutLateMembers() {
    const std::uint64_t front = written_ + ahead();
    for (Member* member : members_)
        if (member->playing && member->position < front) {
            member->position = front;
            member->cutShort = true;
        }
}

} // namespace audio::detail
