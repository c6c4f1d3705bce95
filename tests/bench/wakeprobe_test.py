"""The glitch benchmark's witness of machine stalls reports one it was made to see (run by ctest):
the probe is stopped for 80 ms, and must say it woke about that late, at the moment it was stopped."""
import os
import signal
import subprocess
import sys
import time
import unittest

PROBE = sys.argv.pop(1) if len(sys.argv) > 1 else "build/release/bench/vantrell_wakeprobe"


class WakeProbe(unittest.TestCase):
    def test_a_stall_is_reported_once_with_its_length_and_time(self):
        probe = subprocess.Popen([PROBE, "1", "50"], stdout=subprocess.PIPE, text=True)
        try:
            for line in probe.stdout:  # under way
                if "waking" in line:
                    break
            else:
                self.fail("the probe never got under way")
            stopped = time.monotonic()
            probe.send_signal(signal.SIGSTOP)
            time.sleep(0.08)  # the stall the probe must see
            probe.send_signal(signal.SIGCONT)
            output, _ = probe.communicate(timeout=30)
        finally:
            probe.kill()
        reports = [(float(w[1]), float(w[3])) for w in map(str.split, output.splitlines()) if w[:1] == ["late"]]
        stall = [(late, at) for late, at in reports if abs(at - stopped) < 0.05]
        self.assertEqual(len(stall), 1, reports)  # not one per millisecond it swallowed
        self.assertGreaterEqual(stall[0][0], 75)
        self.assertLess(stall[0][0], 5000)


if __name__ == "__main__":
    unittest.main()
