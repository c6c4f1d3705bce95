#pragma once

#include <string>

// What a stream may ask of its devices, checked before a stream is made or changed: counts no back
// end can open are refused with one line rather than listed, saved and never started.
namespace StreamLimits {

// Channels per direction. Sound servers take fewer (PulseAudio 32); the device refuses the rest at
// its open, as it does a count it lacks.
constexpr unsigned int kMaxChannels = 64;
// Frames per period. The audio library sizes period buffers in 32-bit byte counts: a period much
// longer would get buffers shorter than the frame count it reports.
constexpr unsigned int kMaxBufferFrames = 1u << 16;

// Empty when the counts may be asked for (0 asks for the default); otherwise why not, as one line.
std::string refusal(unsigned int nChannelsInput, unsigned int nChannelsOutput, unsigned int bufferFrames);

} // namespace StreamLimits
