"""The benchmark's glitch counter on generated tones with known faults (run by ctest)."""
import array
import math
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import glitchcount  # noqa: E402

RATE, HZ = 48000, 440


def tone(seconds, level=0.5, channels=2, lead_in=0):
    values = [0.0] * lead_in + [level * math.sin(2 * math.pi * HZ * i / RATE) for i in range(int(seconds * RATE))]
    return [v for v in values for _ in range(channels)]


def count(samples, channels=2):
    return glitchcount.count_glitches(array.array("f", samples), channels, RATE, HZ)


class GlitchCount(unittest.TestCase):
    def test_a_clean_tone_after_silence_has_none(self):
        self.assertEqual(count(tone(3, lead_in=RATE // 2)), [])
        self.assertEqual(count(tone(3, level=0.05, channels=1), channels=1), [])

    def test_dropouts_and_steps_are_counted_once_each_at_their_time(self):
        samples = tone(4)
        for start, frames in ((RATE, 256), (2 * RATE + 100, 49)):  # two dropouts: 5.3 ms and just over 1 ms
            samples[2 * start:2 * (start + frames)] = [0.0] * 2 * frames
        skip = 3 * RATE  # 100 frames of the tone missing: a jump in phase
        samples[2 * skip:] = samples[2 * (skip + 100):]
        found = count(samples)
        self.assertEqual(len(found), 3, found)
        for got, want in zip(found, (1.0, (2 * RATE + 100) / RATE, 3.0)):
            self.assertAlmostEqual(got, want, delta=0.002)

    def test_a_step_within_twice_the_tone_s_own_is_no_glitch(self):
        samples = tone(2)
        largest = glitchcount.largest_step(0.5, HZ, RATE)
        samples[2 * RATE] += 0.9 * largest  # steps in and out stay under twice the largest
        self.assertEqual(count(samples), [])
        samples[2 * RATE] += 1.5 * largest
        self.assertEqual(len(count(samples)), 1)

if __name__ == "__main__":
    unittest.main()
