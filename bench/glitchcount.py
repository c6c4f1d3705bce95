"""Counts the glitches in a recording of a smooth tone.

A glitch is a sample step larger than twice the tone's own largest step, or a run of silence over
1 ms once sound has begun. Marks closer together than 20 ms are one glitch: a dropout gives a step
in, a silent run and a step out, and the ear hears one click.
"""
import array
import math

SILENCE = 1e-5  # below any sample of the tone but its zero crossings, above a server's silence
MERGE_SECONDS = 0.020


def largest_step(amplitude, frequency, rate):
    """The largest step between two samples of a sampled sine."""
    return 2 * amplitude * math.sin(math.pi * frequency / rate)


def amplitude_of(samples, channels, rate):
    """The tone's level in a recording: the median of the peaks of its 100 ms blocks that hold sound."""
    block = max(1, rate // 10) * channels
    peaks = []
    for start in range(0, len(samples) - block + 1, block):
        peak = max(max(samples[start:start + block]), -min(samples[start:start + block]))
        if peak > SILENCE:
            peaks.append(peak)
    peaks.sort()
    return peaks[len(peaks) // 2] if peaks else 0.0


def glitch_marks(samples, channels, step_limit, rate):
    """Frame indices where a channel steps by more than step_limit or ends a silent run over 1 ms."""
    marks = []
    longest_quiet = rate // 1000  # one millisecond of frames
    for channel in range(channels):
        values = samples[channel::channels]
        begun, quiet, previous = False, 0, 0.0
        for index, value in enumerate(values):
            if not begun:
                if abs(value) > SILENCE:
                    begun, previous = True, value
                continue
            if abs(value - previous) > step_limit:
                marks.append(index)
            if -SILENCE <= value <= SILENCE:
                quiet += 1
                if quiet == longest_quiet + 1:
                    marks.append(index - quiet + 1)
            else:
                quiet = 0
            previous = value
    return sorted(marks)


def merged(marks, rate):
    """Marks within MERGE_SECONDS of a glitch's first mark belong to it."""
    events = []
    for mark in marks:
        if not events or mark - events[-1] > MERGE_SECONDS * rate:
            events.append(mark)
    return events


def count_glitches(samples, channels, rate, frequency):
    """Glitch times (seconds from the recording's start) in interleaved float samples of one tone."""
    step_limit = 2 * largest_step(amplitude_of(samples, channels, rate), frequency, rate)
    return [mark / rate for mark in merged(glitch_marks(samples, channels, step_limit, rate), rate)]


def read_float32(path):
    samples = array.array("f")
    with open(path, "rb") as f:
        data = f.read()
    samples.frombytes(data[: len(data) // 4 * 4])
    return samples
