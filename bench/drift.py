#!/usr/bin/env python3
"""How a stream follows an input whose clock differs from its output's. Run through bench/drift.sh,
which starts the private server and holds the machine-wide engine lock.

  drift.py BINARY PPM SECONDS [FRAMES]
  drift.py BINARY cost SECONDS [FRAMES]     the engine's CPU, a stream followed against one passed as is

A pipe source (its clock is whoever writes into its FIFO) is fed at 48000 * (1 + PPM / 1e6) frames a
second of this machine's clock, with a short click every as many frames (once a second by the
source's own clock). The engine routes it to vantrell_main (48000 Hz, this machine's clock); a
recording of the sink's monitor gives the spacing of the clicks at the sink (over the whole run and
after its first ten seconds), clicks lost or doubled, how the stream's delay moved after the first
ten seconds, the xrun lines after them, and what the engine said about following the input's clock.
"""
import os, re, statistics, struct, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serverbench import Engine, pactl  # noqa: E402

RATE = 48000
CHUNK = 480  # 10 ms of source frames per write


def feed(fifo, source_rate, seconds, written, stop):
    """Writes the click track in real time at source_rate; records when each click was written."""
    click_every = round(source_rate)
    with open(fifo, "wb", buffering=0) as out:
        start, frame = time.monotonic(), 0
        while not stop.is_set() and frame < source_rate * (seconds + 15):
            chunk = bytearray(struct.pack("<%df" % CHUNK, *([0.0] * CHUNK)))
            for i in range(CHUNK):
                if (frame + i) % click_every < 24:
                    struct.pack_into("<f", chunk, 4 * i, 0.9)
                    if (frame + i) % click_every == 0:
                        written.append(start + (frame + i) / source_rate)
            out.write(chunk)
            frame += CHUNK
            delay = start + frame / source_rate - time.monotonic()
            if delay > 0:
                time.sleep(delay)


def onsets(samples, threshold=0.3):
    found, last = [], -RATE
    for i, value in enumerate(samples):
        if value > threshold and i - last > RATE // 2:
            found.append(i)
            last = i
    return found


def main(binary, ppm, seconds, frames=1024, environment=None):
    ppm, seconds, frames = float(ppm), float(seconds), int(frames)
    source_rate = RATE * (1 + ppm / 1e6)
    folder = tempfile.mkdtemp(prefix="vantrell-drift-")
    fifo = os.path.join(folder, "in.fifo")
    module = pactl("load-module", "module-pipe-source", "source_name=drift_in", "file=%s" % fifo,
                   "format=float32le", "rate=%d" % RATE, "channels=1",
                   "source_properties=device.description=Drift_In")
    stop, written = threading.Event(), []
    writer = threading.Thread(target=feed, args=(fifo, source_rate, seconds, written, stop))
    writer.start()
    engine = Engine(binary, environment=environment)
    recorder = None
    try:
        engine.add_stream()  # lists the devices, then is replaced by the measured one
        source, sink = engine.device_id("Drift_In"), engine.device_id("Vantrell_Main")
        engine.console("removeStream 0")
        engine.streams = 0
        engine.add_stream(source, sink, 1, 2, RATE, frames)
        recorder = subprocess.Popen(["parec", "-d", "vantrell_main.monitor", "--format=float32le", "--channels=2",
                                     "--rate=%d" % RATE, "--latency-msec=20", "--raw"], stdout=subprocess.PIPE)
        # The sink has a clock of its own too (a null sink ran 46 ppm fast against this machine's in
        # our measurement): its rate and the time of its first frame come from when its frames
        # arrive, fitted by least squares, and the clicks are placed on that clock.
        data, marks, xruns_at_10 = bytearray(), [], None
        while len(data) < int(seconds * RATE) * 8:
            data += os.read(recorder.stdout.fileno(), 65536)
            marks.append((time.monotonic(), len(data) // 8))
            if xruns_at_10 is None and len(data) >= 10 * RATE * 8:
                xruns_at_10, cpu_at_10, time_at_10 = xrun_lines(engine.text()), cpu_seconds(engine.process.pid), marks[-1][0]
        cpu = (cpu_seconds(engine.process.pid) - cpu_at_10) / max(1e-9, time.monotonic() - time_at_10)
        sink_rate, recording_start = fit_clock(marks[len(marks) // 20:])
        left = struct.unpack("<%df" % (len(data) // 4), data[: len(data) // 4 * 4])[0::2]
        arrivals = onsets(left)
        text = engine.text()
    finally:
        stop.set()
        if recorder:
            recorder.terminate()
            recorder.wait()
        engine.stop()
        writer.join()
        pactl("unload-module", module)
        subprocess.run(["rm", "-rf", folder])  # the module made the FIFO and removes it
    if len(arrivals) < 3:
        raise SystemExit("too few clicks arrived: %d" % len(arrivals))
    gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
    # A click leaves the source every second of this machine's clock: that many sink frames apart.
    expected = sink_rate
    spacing = (arrivals[-1] - arrivals[0]) / (len(arrivals) - 1)
    lost = sum(round(g / source_rate) - 1 for g in gaps if round(g / source_rate) > 1)
    doubled = sum(1 for g in gaps if g < source_rate / 2)
    # Delay of each click: its arrival (sink samples from the recording's start, on this machine's
    # clock) less the time it was written; only its change over the run matters.
    # The matching click is the last one written before it arrived (the delay stays under a second).
    delays = []
    for arrival in arrivals:
        when = recording_start + arrival / sink_rate
        delays.append(when - max(w for w in written if w <= when))
    early = [d for a, d in zip(arrivals, delays) if a < 10 * RATE] or delays[:1]
    late = [(a, d) for a, d in zip(arrivals, delays) if a >= 10 * RATE] or [(arrivals[-1], delays[-1])]
    late_spacing = (late[-1][0] - late[0][0]) / max(1, len(late) - 1)
    moved = max(abs(d - late[0][1]) for _, d in late)
    following = re.findall(r"Following the input's clock on [^\n\x1b]*", text)
    print("source %+.0f ppm (%.1f frames/s), %d-frame stream, %.0f s recorded: %d clicks, spacing %.1f samples"
          " (%+.1f ppm from the sink's %.1f frames a second; after 10 s %+.1f ppm), min %d max %d, %d lost, %d doubled;"
          " delay %.1f ms in the first 10 s, %.1f ms at 10 s, %.1f ms at the end, at most %.1f ms from the 10 s value"
          " after it; %d xrun lines, %d after 10 s; engine CPU after 10 s %.2f %% of a core; %s"
          % (ppm, source_rate, frames, seconds, len(arrivals), spacing, (spacing / expected - 1) * 1e6, sink_rate,
             (late_spacing / expected - 1) * 1e6, min(gaps), max(gaps), lost, doubled, 1000 * statistics.median(early),
             1000 * late[0][1], 1000 * delays[-1], 1000 * moved, xrun_lines(text), xrun_lines(text) - xruns_at_10,
             100 * cpu, following[0] if following else "not following the input's clock"))
    return cpu


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def fit_clock(marks):
    """Frames a second and the time of frame 0, from (time, frames so far) pairs."""
    n = len(marks)
    mean_t = sum(t for t, _ in marks) / n
    mean_f = sum(f for _, f in marks) / n
    rate = sum((t - mean_t) * (f - mean_f) for t, f in marks) / sum((t - mean_t) ** 2 for t, _ in marks)
    return rate, mean_t - mean_f / rate


def xrun_lines(text):
    return text.count("Output underflow") + text.count("Input overflow")


def cost(binary, seconds, frames=1024):
    """The engine's CPU with a stream from a source 500 ppm fast passed one to one
    (VANTRELL_CLOCK_FOLLOWING=off), then with the same stream following the source's clock."""
    untouched = main(binary, 500, seconds, frames, {"VANTRELL_CLOCK_FOLLOWING": "off"})
    following = main(binary, 500, seconds, frames)
    print("engine CPU with the stream following its input's clock: %.2f %% of a core against %.2f %% passed one to"
          " one: %.2fx" % (100 * following, 100 * untouched, following / max(untouched, 1e-9)))


if __name__ == "__main__":
    if len(sys.argv) < 4:
        raise SystemExit(__doc__)
    if sys.argv[2] == "cost":
        cost(sys.argv[1], *sys.argv[3:])
    else:
        main(*sys.argv[1:])
