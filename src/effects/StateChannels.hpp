#pragma once

// Effects that keep per-channel history (the three-band equalizer, the peak filter) size it for this
// many channels once, at construction, so processing never allocates and never reads past the
// history. A block with more channels passes through those effects unchanged: filtering only some
// of its channels would leave the stream half processed.
inline constexpr unsigned kMaxStateChannels = 64;
