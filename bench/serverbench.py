#!/usr/bin/env python3
"""The engine against a real sound server, figures from one run each. Run through bench/serverbench.sh,
which starts the private server and holds the machine-wide engine lock.

  serverbench.py cost BINARY [SECONDS]      CPU of module-loopback vs the engine, 1 and 8 streams
  serverbench.py latency BINARY [FRAMES [RATE]]  click latency (default 256 frames, the rate the engine picks) of one stream vs module-loopback latency_msec=20,
                                            and the export ring's update gaps; then a pacat pipe's at
                                            the same buffering (three periods)
  serverbench.py startup BINARY             time from start to the socket answering, 5 starts, the
                                            first right after the server starts
  serverbench.py restarts BINARY [COUNT]    server restarts (default 10) under four streams: how soon
                                            each stream plays again; threads, descriptors, memory
  serverbench.py underruns BINARY [SECONDS] a 256-frame stream with one core kept busy (default 120 s):
                                            xrun lines on the library, then on ours without and with
                                            real-time scheduling
  serverbench.py glitch BINARY [FRAMES [SECONDS [STREAMS]]]  a smooth 440 Hz tone through the engine
                                            (STREAMS streams, default 1, default chains), through
                                            pacat -r | pacat -p and through module-loopback at the same
                                            buffering (three periods of FRAMES, default 256), quiet and
                                            with one core busy, SECONDS (default 60) each, in slices of
                                            at most 60 s taken in turn: xrun lines and glitches heard
                                            in the recordings. VANTRELL_GLITCH_ROUTES=engine,pacat and
                                            VANTRELL_GLITCH_LOADS=quiet narrow it;
                                            VANTRELL_GLITCH_OTHER=BINARY adds another build. pacat's
                                            xrun lines are its players' "Stream underrun." messages.
                                            Beside each route: the milliseconds the hypervisor stole and
                                            the stalls of a real-time thread on each core (4 ms or more),
                                            and how many glitches fell within 0.2 s of one.
  serverbench.py stall BINARY [FRAMES [STOPS]]  the glitch set-up's tone through one stream (default
                                            256 frames), the engine (and VANTRELL_GLITCH_OTHER) and a
                                            pacat pipe in turn, each stopped (SIGSTOP) STOPS (20) times
                                            for each of 4 to 16 ms: how many stops were heard, so how long
                                            a stall each keeps playing through
  serverbench.py attach BINARY [STREAMS [CYCLES]]  the glitch set-up's STREAMS (16) 256-frame routes,
                                            then CYCLES (6) times a parec recorder arriving at each
                                            output's monitor for 3 s: underflows meanwhile and in the 2 s
                                            after they leave, the engine's and pacat pipes'
  Every figure of cost, latency and startup is given for both back ends (the engine's own, "pulse",
  and the RtAudio library's, "rtaudio"), measured in the same run.
  serverbench.py crowd BINARY [STREAMS [SECONDS]]  STREAMS streams (default 60) of 256 frames from the
                                            sine source to vantrell_main: the share of real time's
                                            periods each writes to its export ring over SECONDS
                                            (default 10), CPU, and the engine's entries in the server
  serverbench.py scale BINARY [SECONDS]     16 streams with effects (on JACK's dummy driver):
                                            xruns, engine CPU, resident memory; then 16 of
                                            JACK's jack_thru clients for the server's own figure
"""
import array, math, mmap, os, random, re, signal, socket, statistics, struct, subprocess, sys, tempfile, threading, time

import glitchcount

TICK = os.sysconf("SC_CLK_TCK")
RATE = 48000


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime + stime


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_percent(pids, seconds):
    """Share of one core used by the processes together over the window."""
    before = sum(cpu_seconds(p) for p in pids)
    start = time.monotonic()
    time.sleep(seconds)
    return 100.0 * (sum(cpu_seconds(p) for p in pids) - before) / (time.monotonic() - start)


def server_pid():
    with open(os.path.join(os.environ["VANTRELL_PULSE_DIR"], "pid")) as f:
        return int(f.read())


def pactl(*args):
    return subprocess.run(["pactl", *args], check=True, capture_output=True, text=True).stdout.strip()


BACK_ENDS = ("rtaudio", "pulse")


class Engine:
    def __init__(self, binary, back_end=None, environment=None):
        self.log = tempfile.NamedTemporaryFile(prefix="vantrell-bench-", suffix=".out", delete=False)
        env = dict(os.environ, **(environment or {}))
        if back_end:
            env["VANTRELL_AUDIO"] = back_end
        self.started = time.monotonic()
        self.process = subprocess.Popen([os.path.abspath(binary)], stdin=subprocess.PIPE, stdout=self.log,
                                        stderr=subprocess.STDOUT, cwd=tempfile.gettempdir(), env=env)
        self.wait_for("Unix socket started at", 1)
        self.streams = 0

    def text(self):
        with open(self.log.name, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_for(self, text, count, seconds=20):
        deadline = time.time() + seconds
        while self.text().count(text) < count:
            if time.time() > deadline or self.process.poll() is not None:
                raise SystemExit("engine: no %r:\n%s" % (text, self.text()[-3000:]))
            time.sleep(0.05)

    def console(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def add_stream(self, *arguments):
        self.console(" ".join(["addStream", *map(str, arguments)]))
        self.console("startStream %d" % self.streams)
        self.streams += 1
        self.wait_for("started successfully", self.streams)
        return self.streams - 1

    def device_id(self, name):
        found = re.findall(r"Device \((\d+): %s \(Input" % re.escape(name), self.text())
        if not found:
            raise SystemExit("engine lists no device %r" % name)
        return int(found[-1])

    def stop(self):
        if self.process.poll() is None:
            self.console("exit")
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
        os.unlink(self.log.name)


def cost(binary, seconds=10.0):
    server = server_pid()
    for count in (1, 8):
        modules = [pactl("load-module", "module-loopback", "source=vantrell_sine", "sink=vantrell_main")
                   for _ in range(count)]
        time.sleep(2)
        loopback = cpu_percent([server], seconds)
        for module in modules:
            pactl("unload-module", module)
        print("%d stream(s), %.0f s windows: module-loopback %.2f %% of a core (server)" % (count, seconds, loopback))
        for back_end in BACK_ENDS:
            engine = Engine(binary, back_end)
            try:
                for _ in range(count):
                    engine.add_stream()  # default devices: the sine source to vantrell_main
                time.sleep(2)
                before = cpu_seconds(engine.process.pid), cpu_seconds(server)
                start = time.monotonic()
                time.sleep(seconds)
                elapsed = time.monotonic() - start
                own = 100.0 * (cpu_seconds(engine.process.pid) - before[0]) / elapsed
                served = 100.0 * (cpu_seconds(server) - before[1]) / elapsed
                buffering = engine_buffering_msec(engine)
            finally:
                engine.stop()
            ours = own + served
            floor = client_floor(server, count, seconds, buffering)
            print("  %-7s engine %.2f %% (%.2f %% per stream) + server %.2f %% = %.2f %%; ratio to module-loopback"
                  " %.2f; pacat | pacat at its buffering of %d ms %.2f %%; engine to that floor %.2f"
                  % (back_end, own, own / count, served, ours, ours / loopback if loopback else float("nan"),
                     buffering, floor, ours / floor if floor else float("nan")))


def engine_buffering_msec(engine):
    """The playback buffering the engine asks the server for: three periods of its first stream."""
    engine.console("getStreamInfo 0")
    engine.wait_for("Sample rate: ", 1, 5)
    frames = int(re.findall(r"Buffer frames: (\d+)", engine.text())[-1])
    rate = int(re.findall(r"Sample rate: (\d+)", engine.text())[-1])
    return max(1, round(3 * 1000.0 * frames / rate))


def client_floor(server, count, seconds, msec):
    """CPU of the least a client can do for the same job: pacat recording piped into pacat playing, at the
    same buffering, plus the server's share. No client that moves audio through the server costs less."""
    pipes = []
    for _ in range(count):
        recorder = subprocess.Popen(["pacat", "-r", "-d", "vantrell_sine", "--raw", "--format=float32le",
                                     "--channels=2", "--rate=%d" % RATE, "--latency-msec=%d" % msec],
                                    stdout=subprocess.PIPE)
        player = subprocess.Popen(["pacat", "-p", "-d", "vantrell_main", "--raw", "--format=float32le",
                                   "--channels=2", "--rate=%d" % RATE, "--latency-msec=%d" % msec],
                                  stdin=recorder.stdout)
        recorder.stdout.close()
        pipes += [recorder, player]
    try:
        time.sleep(2)
        return cpu_percent([server] + [p.pid for p in pipes], seconds)
    finally:
        for process in pipes:
            process.terminate()
            process.wait()


def click_onsets(samples, channel, threshold=0.3):
    """Times (s) where the channel first rises above the threshold, at least 0.2 s apart."""
    onsets, last = [], -1.0
    for i in range(channel, len(samples), 2):
        if abs(samples[i]) > threshold and (i // 2) / RATE - last > 0.2:
            last = (i // 2) / RATE
            onsets.append(last)
    return onsets


def ring_gaps(stream_id, frames, rate, seconds=3.0):
    """Gaps between moves of the export ring's write offset, read every half millisecond."""
    descriptor = os.open("/dev/shm/Stream%d" % stream_id, os.O_RDONLY)
    try:
        moves, last = [], None
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            offset = struct.unpack("<Q", os.pread(descriptor, 8, 8))[0]
            if offset != last:
                moves.append(time.monotonic())
                last = offset
            time.sleep(0.0005)
    finally:
        os.close(descriptor)
    gaps = sorted((b - a) * 1000 for a, b in zip(moves[1:], moves[2:]))
    if not gaps:
        raise SystemExit("the export ring of stream %d did not move" % stream_id)
    period = 1000.0 * frames / rate
    print("ring updates over %.0f s: %d, gap median %.2f ms (%.2f periods), max %.2f ms (%.2f periods);"
          " period %.2f ms (%d frames at %d Hz)" % (seconds, len(moves), statistics.median(gaps),
                                                statistics.median(gaps) / period, gaps[-1], gaps[-1] / period,
                                                period, frames, rate))


def latency(binary, frames=256, rate=0):
    for back_end in BACK_ENDS:
        print("%s, %d frames:" % (back_end, int(frames)))
        try:
            with ClickSetUp():
                latency_of(binary, back_end, int(frames), int(rate))
        except SystemExit as failure:  # one back end's failure still leaves the other's figures
            print("  %s" % failure)
    # The peer of the glitch and stall benchmarks, at the same buffering: what its margin costs in delay.
    msec = round(3000.0 * int(frames) / RATE)
    print("pacat -r | pacat -p, --latency-msec=%d:" % msec)
    with ClickSetUp():
        form = ["--raw", "--format=float32le", "--rate=%d" % RATE, "--channels=1", "--latency-msec=%d" % msec]
        recorder = subprocess.Popen(["pacat", "-r", "-d", "click_in.monitor", "--channel-map=front-left"] + form,
                                    stdout=subprocess.PIPE)
        player = subprocess.Popen(["pacat", "-p", "-d", "vantrell_main", "--channel-map=front-right"] + form,
                                  stdin=recorder.stdout)
        recorder.stdout.close()
        try:
            time.sleep(2)
            click_delay("pipe")
        finally:
            for process in (recorder, player):
                process.terminate()
                process.wait()


class ClickSetUp:
    """A click sink whose monitor module-loopback carries to vantrell_main's left channel; the route
    measured carries it to the right one. Both reach one recording, so their difference needs no clock."""

    def __enter__(self):
        self.sink = pactl("load-module", "module-null-sink", "sink_name=click_in", "rate=%d" % RATE, "channels=2")
        self.loop = pactl("load-module", "module-loopback", "source=click_in.monitor", "sink=vantrell_main",
                          "latency_msec=20", "channels=1", "channel_map=front-left")

    def __exit__(self, *failure):
        pactl("unload-module", self.loop)
        pactl("unload-module", self.sink)


def click_delay(route):
    """Eight clicks into click_in: the route's delay behind the loopback's, from one recording."""
    silence = b"\0" * (8 * RATE // 2)  # half a second of stereo float
    click = struct.pack("<ff", 0.9, 0.0) * 48 + b"\0" * (8 * RATE // 2 - 8 * 48)
    recorder = subprocess.Popen(["parec", "-d", "vantrell_main.monitor", "--format=float32le", "--channels=2",
                                 "--rate=%d" % RATE, "--latency-msec=10"], stdout=subprocess.PIPE)
    time.sleep(0.5)
    subprocess.run(["pacat", "-d", "click_in", "--format=float32le", "--channels=2", "--rate=%d" % RATE,
                    "--raw"], input=silence + click * 8 + silence, check=True)
    time.sleep(1.0)
    recorder.terminate()
    data = recorder.stdout.read()
    samples = struct.unpack("<%df" % (len(data) // 4), data[: len(data) // 4 * 4])
    left, right = click_onsets(samples, 0), click_onsets(samples, 1)
    deltas = [1000 * (r - l) for l, r in zip(left, right) if abs(r - l) < 0.2]
    if not deltas:
        raise SystemExit("no click pairs recorded (left %d, right %d)" % (len(left), len(right)))
    delta = statistics.median(deltas)
    print("click latency over %d clicks: %s - module-loopback(20 ms) = %+.1f ms (min %+.1f, max %+.1f);"
          " %s ~ %.1f ms, %.2f x the loopback's 20 ms" % (len(deltas), route, delta, min(deltas), max(deltas),
                                                          route, 20 + delta, (20 + delta) / 20))


def latency_of(binary, back_end, frames, rate):
    engine = Engine(binary, back_end)
    try:
        engine.add_stream()  # lists the devices, then is replaced by the measured one
        source, main = engine.device_id("Monitor of Null Output"), engine.device_id("Vantrell_Main")
        engine.console("removeStream 0")
        engine.streams = 0
        stream = engine.add_stream(source, main, 2, 2, rate, frames)
        if not rate:
            engine.console("getStreamInfo %d" % stream)
            engine.wait_for("Sample rate: ", 1, 5)
            rate = int(re.findall(r"Sample rate: (\d+)", engine.text())[-1])
        engine.console("removeChannelRedirect %d 0" % stream)        # (0, 0) goes; (1, 1) stays
        engine.console("addChannelRedirect %d 0 1" % stream)         # left in -> right out
        time.sleep(2)
        ring_gaps(stream, frames, rate)
        click_delay("engine")
    finally:
        if os.environ.get("VANTRELL_BENCH_VERBOSE"):
            print(engine.text()[-4000:])
        engine.stop()


def jack_graph_xruns():
    """Periods jackd itself counted as late for the whole graph, from its log."""
    path = "/tmp/%s.log" % os.environ.get("JACK_DEFAULT_SERVER", "default")
    with open(path, errors="replace") as f:
        return f.read().count("ProcessGraphAsyncMaster: Process error")


def scale(binary, seconds=300.0, streams=16, frames=128):
    engine = Engine(binary)
    try:
        for stream in range(streams):
            engine.add_stream(0, 0, 2, 2, 0, frames)
            for effect in ("PanEffect", "EqualizerEffect"):
                engine.console("addEffect %d %s" % (stream, effect))
        time.sleep(2)
        before, graph_before = engine.text(), jack_graph_xruns()
        start_rss = rss_kib(engine.process.pid)
        load = cpu_percent([engine.process.pid], seconds)
        window = engine.text()[len(before):]
        xruns = len(re.findall(r"Input overflow|Output underflow", window))
        xruns += sum(int(n) for n in re.findall(r"Skipped (\d+) overflow or underflow", window))
        print("%d streams x %d frames, %.0f s: %d xruns (callback status), %d late graph periods (jackd),"
              " engine CPU %.1f %% of a core, resident memory %d KiB -> %d KiB"
              % (streams, frames, seconds, xruns, jack_graph_xruns() - graph_before, load, start_rss,
                 rss_kib(engine.process.pid)))
    finally:
        engine.stop()
    # The same server with as many of JACK's own pass-through clients and nothing else: what the machine
    # and the server give any set of clients.
    time.sleep(2)
    peers = [subprocess.Popen(["jack_thru"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
             for _ in range(streams)]
    try:
        time.sleep(2)
        graph_before = jack_graph_xruns()
        time.sleep(seconds)
        print("%d jack_thru clients, %.0f s: %d late graph periods (jackd)"
              % (streams, seconds, jack_graph_xruns() - graph_before))
    finally:
        for peer in peers:
            peer.terminate()
            peer.wait()


def socket_answers(path="/tmp/vantrell_sock"):
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


def restart_server():
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "audio-servers.sh")
    subprocess.run(["bash", "-c", "source %s && restart_private_pulse" % script], check=True)


def startup(binary, starts=5):
    for back_end in BACK_ENDS:
        times = []
        for attempt in range(int(starts)):
            if attempt == 0:
                restart_server()  # the first start right after the server's
            started = time.monotonic()
            engine = Engine(binary, back_end)
            while not socket_answers():
                time.sleep(0.002)
            times.append(1000 * (time.monotonic() - started))
            engine.stop()
        print("%-7s start to the socket answering, %d starts: %s ms (first after the server's start: %.0f ms)"
              % (back_end, len(times), ", ".join("%.0f" % t for t in times), times[0]))


def resources(pid):
    threads = len(os.listdir("/proc/%d/task" % pid))
    descriptors = len(os.listdir("/proc/%d/fd" % pid))
    return threads, descriptors, rss_kib(pid)


def restarts(binary, count=10):
    engine = Engine(binary, "pulse")
    try:
        for _ in range(4):
            engine.add_stream()
        time.sleep(1)
        first = None
        worst = 0.0
        for cycle in range(int(count)):
            before = engine.text().count("restarted: its devices are back")
            returned = time.monotonic()
            restart_server()  # kills the server and starts it again: the time includes its own start
            engine.wait_for("restarted: its devices are back", before + 4, 20)
            back = time.monotonic() - returned
            worst = max(worst, back)
            time.sleep(1)
            if first is None:
                first = resources(engine.process.pid)
            print("restart %d: all four streams back %.2f s after the restart began" % (cycle + 1, back))
        last = resources(engine.process.pid)
        print("%d restarts: slowest return %.2f s; threads %d -> %d, descriptors %d -> %d, resident memory"
              " %d KiB -> %d KiB (after the first and after the last)"
              % (int(count), worst, first[0], last[0], first[1], last[1], first[2], last[2]))
    finally:
        engine.stop()


def underruns(binary, seconds=120.0):
    busy = subprocess.Popen(["sh", "-c", "while :; do :; done"])
    try:
        for back_end, realtime in (("rtaudio", "off"), ("pulse", "off"), ("pulse", "on")):
            engine = Engine(binary, back_end, {"VANTRELL_REALTIME": realtime})
            try:
                engine.add_stream(0, 0, 1, 2, 48000, 256)
                time.sleep(2)
                before = engine.text()
                time.sleep(seconds)
                window = engine.text()[len(before):]
                underflows, overflows = window.count("Output underflow"), window.count("Input overflow")
                skipped = sum(int(n) for n in re.findall(r"Skipped (\d+) overflow or underflow", window))
                print("%-7s real-time scheduling %-3s: 256 frames at 48000 Hz, one core busy, %.0f s: %d underflow"
                      " and %d overflow lines (%d more skipped)" % (back_end, realtime, seconds, underflows,
                                                                  overflows, skipped))
            finally:
                engine.stop()
    finally:
        busy.kill()
        busy.wait()


TONE_HZ = 440
TONE_LEVEL = 0.5


def xrun_lines(text):
    lines = len(re.findall(r"Input overflow|Output underflow", text))
    return lines + sum(int(n) for n in re.findall(r"Skipped (\d+) overflow or underflow", text))


class TonePlayer:
    """pacat playing a seamless 440 Hz tone into a null sink, with its default (deep) buffering."""

    def __init__(self, sink):
        cycle = [TONE_LEVEL * math.sin(2 * math.pi * TONE_HZ * i / RATE) for i in range(RATE)]
        self.block = array.array("f", [v for v in cycle for _ in (0, 1)]).tobytes()  # one second, stereo
        self.process = subprocess.Popen(["pacat", "-p", "-d", sink, "--raw", "--format=float32le", "--channels=2",
                                         "--rate=%d" % RATE], stdin=subprocess.PIPE)
        self.writer = threading.Thread(target=self.feed, daemon=True)
        self.writer.start()

    def feed(self):
        try:
            while True:
                self.process.stdin.write(self.block)
        except (BrokenPipeError, ValueError, OSError):
            pass

    def stop(self):
        self.process.terminate()
        self.process.wait()


class EngineRoute:
    name = "engine"

    def __init__(self, binary, source, sinks, frames):
        self.engine = Engine(binary, "pulse")
        self.engine.add_stream()  # lists the devices, then is replaced by the measured ones
        tone = self.engine.device_id("Monitor of Glitch_Tone")
        outputs = [self.engine.device_id("Glitch_Out%d" % k) for k in range(len(sinks))]
        self.engine.console("removeStream 0")
        self.engine.streams = 0
        for output in outputs:
            self.engine.add_stream(tone, output, 2, 2, RATE, frames)
        self.mark = len(self.engine.text())

    def xruns(self):
        return xrun_lines(self.engine.text()[self.mark:])

    def stop(self):
        self.engine.stop()


class PacatRoute:
    name = "pacat"

    def __init__(self, binary, source, sinks, frames):
        msec = "--latency-msec=%d" % round(3000.0 * frames / RATE)
        form = ["--raw", "--format=float32le", "--channels=2", "--rate=%d" % RATE, msec]
        self.processes = []
        # Verbose players say "Stream underrun." each time the server ran their stream dry.
        self.log = tempfile.NamedTemporaryFile(prefix="vantrell-pacat-", suffix=".err", delete=False)
        for sink in sinks:
            recorder = subprocess.Popen(["pacat", "-r", "-d", source] + form, stdout=subprocess.PIPE)
            player = subprocess.Popen(["pacat", "-v", "-p", "-d", sink] + form, stdin=recorder.stdout,
                                      stdout=subprocess.DEVNULL, stderr=self.log)
            recorder.stdout.close()
            self.processes += [recorder, player]

    def xruns(self):
        with open(self.log.name, errors="replace") as f:
            return f.read().count("underrun")

    def stop(self):
        for process in self.processes:
            process.terminate()
            process.wait()
        os.unlink(self.log.name)


class LoopbackRoute:
    name = "loopback"

    def __init__(self, binary, source, sinks, frames):
        msec = "latency_msec=%d" % round(3000.0 * frames / RATE)
        self.modules = [pactl("load-module", "module-loopback", "source=" + source, "sink=" + sink, msec)
                        for sink in sinks]

    def xruns(self):
        return None

    def stop(self):
        for module in self.modules:
            pactl("unload-module", module)


class OtherEngineRoute(EngineRoute):
    """Another build of the engine (VANTRELL_GLITCH_OTHER), to compare two builds in one run."""
    name = "other"

    def __init__(self, binary, source, sinks, frames):
        super().__init__(os.environ["VANTRELL_GLITCH_OTHER"], source, sinks, frames)


GLITCH_ROUTES = {route.name: route for route in (EngineRoute, OtherEngineRoute, PacatRoute, LoopbackRoute)}


class MachineWitness:
    """What the machine itself did meanwhile: the milliseconds the hypervisor ran something else on its
    cores (/proc/stat's steal), and the moments a real-time thread that wakes every millisecond
    (bench/wakeprobe.cpp) came STALL_MS or more late. A glitch right after such a stall is the
    machine's; no client of the server, nor the server, keeps a 16 ms buffer through it."""
    STALL_MS = 4.0

    def __init__(self, binary):
        self.stalls = []  # (CLOCK_MONOTONIC seconds, ms late), of any core
        probe = os.path.join(os.path.dirname(os.path.abspath(binary)), "bench", "vantrell_wakeprobe")
        # One on each core: a stolen core stalls only the threads on it.
        self.probes = [subprocess.Popen([probe, "86400", str(self.STALL_MS), str(cpu)], stdout=subprocess.PIPE,
                                        text=True) for cpu in sorted(os.sched_getaffinity(0))] \
            if os.access(probe, os.X_OK) else []
        for process in self.probes:
            threading.Thread(target=self.read, args=(process,), daemon=True).start()

    def read(self, probe):
        for line in probe.stdout:
            words = line.split()
            if words[:1] == ["late"]:
                self.stalls.append((float(words[3]), float(words[1])))

    @staticmethod
    def stolen_ms():
        with open("/proc/stat") as f:  # cpu user nice system idle iowait irq softirq steal
            return 1000.0 * int(f.readline().split()[8]) / TICK

    def stalls_between(self, start, end):
        return [late for moment, late in self.stalls if start <= moment <= end]

    def near_stall(self, moment, seconds=0.2):
        """Whether a stall came in the `seconds` around a glitch (the recording's clock is the
        monotonic clock to within the recorder's start)."""
        return any(abs(moment - stalled) <= seconds for stalled, _ in self.stalls)

    def covered(self, start, end, seconds=0.2):
        """The share of [start, end] as near a stall: how many glitches chance alone would put there."""
        near = [(max(start, at - seconds), min(end, at + seconds)) for at, _ in sorted(self.stalls)
                if start - seconds <= at <= end + seconds]
        total, reach = 0.0, start
        for low, high in near:
            total += max(0.0, high - max(low, reach))
            reach = max(reach, high)
        return total

    def stop(self):
        for process in self.probes:
            process.terminate()
            process.wait()


def record_slice(route_class, binary, sinks, frames, seconds):
    """One route for one slice: its xrun lines, the glitch times in each output's recording and the
    monotonic time the recordings began."""
    route = route_class(binary, "glitch_tone.monitor", sinks, frames)
    recorders, paths = [], []
    try:
        time.sleep(1.5)  # past the start's prebuffering
        began = time.monotonic()
        for sink in sinks:
            path = tempfile.mktemp(prefix="vantrell-glitch-", suffix=".raw")
            with open(path, "wb") as out:
                recorders.append(subprocess.Popen(
                    ["parec", "-d", sink + ".monitor", "--raw", "--format=float32le", "--channels=2",
                     "--rate=%d" % RATE, "--latency-msec=200"], stdout=out))
            paths.append(path)
        time.sleep(seconds)
        xruns = route.xruns()
    finally:
        for recorder in recorders:
            recorder.terminate()
            recorder.wait()
        route.stop()
    glitches = []
    for path in paths:
        glitches.append(glitchcount.count_glitches(glitchcount.read_float32(path), 2, RATE, TONE_HZ))
        os.unlink(path)
    return xruns, glitches, began


def glitch_sinks(streams):
    """The tone's null sink and one output null sink per stream: their modules, the outputs' names."""
    modules = [pactl("load-module", "module-null-sink", "sink_name=glitch_tone", "rate=%d" % RATE, "channels=2",
                     "format=float32le", "sink_properties=device.description=Glitch_Tone")]
    sinks = ["glitch_out%d" % k for k in range(streams)]
    for k, sink in enumerate(sinks):
        modules.append(pactl("load-module", "module-null-sink", "sink_name=" + sink, "rate=%d" % RATE, "channels=2",
                             "format=float32le", "sink_properties=device.description=Glitch_Out%d" % k))
    return modules, sinks


def recorded_rms(recording):
    """The root mean square of the last second of a recording of stereo float samples."""
    recording.seek(0)
    data = recording.read()
    samples = array.array("f", data[max(0, len(data) // 4 * 4 - 8 * RATE): len(data) // 4 * 4])
    return math.sqrt(sum(x * x for x in samples) / len(samples)) if samples else 0.0


def attach(binary, streams=16, cycles=6):
    """Recorders arriving at the outputs' monitors and leaving them, as the glitch benchmark's do each slice:
    the underflows meanwhile, the engine's against pacat pipes' at the same buffering (256 frames)."""
    streams, cycles = int(streams), int(cycles)
    modules, sinks = glitch_sinks(streams)
    tone = TonePlayer("glitch_tone")
    try:
        for route_class in (EngineRoute, PacatRoute):
            route = route_class(binary, "glitch_tone.monitor", sinks, 256)
            arriving = leaving = heard = 0
            try:
                time.sleep(3)
                for _ in range(cycles):
                    before = route.xruns()
                    # What they record shows the routes play at all: a route that never started has no underflows.
                    files = [tempfile.TemporaryFile() for _ in sinks]
                    recorders = [subprocess.Popen(["parec", "-d", sink + ".monitor", "--raw", "--latency-msec=200",
                                                   "--format=float32le", "--channels=2", "--rate=%d" % RATE],
                                                  stdout=out) for sink, out in zip(sinks, files)]
                    time.sleep(3)
                    for recorder in recorders:
                        recorder.terminate()
                    for recorder in recorders:
                        recorder.wait()
                    during = route.xruns()
                    heard += sum(1 for out in files if recorded_rms(out) > TONE_LEVEL / 4)
                    time.sleep(2)
                    arriving += during - before
                    leaving += route.xruns() - during
            finally:
                route.stop()
            print("  %-6s %d streams, %d cycles: %d underflows while %d recorders arrive and record, %d in the"
                  " 2 s after they leave; %d of %d recordings carry the tone"
                  % (route_class.name, streams, cycles, arriving, streams, leaving, heard, streams * cycles))
            sys.stdout.flush()
    finally:
        tone.stop()
        for module in reversed(modules):
            pactl("unload-module", module)


def glitch(binary, frames=256, seconds=60.0, streams=1):
    frames, streams = int(frames), int(streams)
    routes = os.environ.get("VANTRELL_GLITCH_ROUTES", "engine,pacat,loopback").split(",")
    if os.environ.get("VANTRELL_GLITCH_OTHER") and "other" not in routes:
        routes.insert(1, "other")
    loads = os.environ.get("VANTRELL_GLITCH_LOADS", "quiet,busy").split(",")
    slices = max(1, math.ceil(seconds / 60.0))
    modules, sinks = glitch_sinks(streams)
    tone = TonePlayer("glitch_tone")
    witness = MachineWitness(binary)
    print("%d stream(s) of %d frames at %d Hz, buffering %d ms, %.0f s a route and load in %d slice(s);"
          " load average %s" % (streams, frames, RATE, round(3000.0 * frames / RATE), seconds, slices,
                                " ".join(open("/proc/loadavg").read().split()[:3])))
    try:
        for load in loads:
            busy = subprocess.Popen(["sh", "-c", "while :; do :; done"]) if load == "busy" else None
            totals = {name: [0, 0, [], 0.0, [], 0, 0.0] for name in routes}
            try:
                for _ in range(slices):
                    for name in routes:
                        stolen = witness.stolen_ms()
                        xruns, glitches, began = record_slice(GLITCH_ROUTES[name], binary, sinks, frames,
                                                              seconds / slices)
                        total = totals[name]
                        total[0] += xruns or 0
                        total[1] += sum(len(g) for g in glitches)
                        total[2] += ["%.1f" % t for g in glitches for t in g][:5]
                        total[3] += witness.stolen_ms() - stolen
                        total[4] += witness.stalls_between(began, began + seconds / slices)
                        total[5] += sum(1 for g in glitches for t in g if witness.near_stall(began + t))
                        total[6] += witness.covered(began, began + seconds / slices)
            finally:
                if busy:
                    busy.kill()
                    busy.wait()
            for name in routes:
                xruns, count, first, stolen, stalls, at_stalls, covered = totals[name]
                print("  %-5s %-8s %4.0f s: %s xrun lines, %d glitches%s" % (
                    load, name, seconds, xruns if name != "loopback" else "-", count,
                    " (first at %s s into their slices)" % ", ".join(first) if first else ""))
                if witness.probes:
                    print("%22s the machine: %.0f ms stolen; %d stalls of %.0f ms or more on a core (%d of 8 ms or"
                          " more, largest %.1f ms); %d of the glitches within 0.2 s of a stall, where %.0f %% of"
                          " the time is" % ("", stolen, len(stalls), witness.STALL_MS,
                                            sum(1 for late in stalls if late >= 8), max(stalls, default=0.0),
                                            at_stalls, 100.0 * covered / seconds))
            sys.stdout.flush()
    finally:
        witness.stop()
        tone.stop()
        for module in reversed(modules):
            pactl("unload-module", module)


def stall(binary, frames=256, stops=20):
    """How long a route may stop before its output runs dry: the margin it keeps on the server.
    Each route (the engine's whole process, or the players of pacat pipes) is stopped STOPS times for
    each length while parec records its output; a stop followed by a glitch was heard."""
    frames, stops = int(frames), int(stops)
    routes = ["engine", "other", "pacat"] if os.environ.get("VANTRELL_GLITCH_OTHER") else ["engine", "pacat"]
    lengths = [4, 6, 7, 8, 9, 10, 11, 12, 14, 16]
    modules, sinks = glitch_sinks(1)
    tone = TonePlayer("glitch_tone")
    print("1 stream of %d frames at %d Hz, buffering %d ms; %d stops of each length, a route at a time"
          % (frames, RATE, round(3000.0 * frames / RATE), stops))
    try:
        for name in routes:
            route = GLITCH_ROUTES[name](binary, "glitch_tone.monitor", sinks, frames)
            victims = []
            try:
                # Settled: the engine follows the null sinks' clocks apart after 15 to 30 s (a pipe waits as long).
                deadline = time.monotonic() + 45
                while time.monotonic() < deadline and not (
                        hasattr(route, "engine") and "Following the input's clock" in route.engine.text()):
                    time.sleep(0.1)
                following = hasattr(route, "engine") and "Following the input's clock" in route.engine.text()
                victims = [route.engine.process.pid] if hasattr(route, "engine") else \
                    [p.pid for p in route.processes[1::2]]
                path = tempfile.mktemp(prefix="vantrell-stall-", suffix=".raw")
                with open(path, "wb") as out:
                    recorder = subprocess.Popen(["parec", "-d", sinks[0] + ".monitor", "--raw", "--latency-msec=200",
                                                 "--format=float32le", "--channels=2", "--rate=%d" % RATE],
                                                stdout=out)
                began = time.monotonic()
                time.sleep(1)
                moments = []  # (length, monotonic time of the stop)
                for length in lengths:
                    for _ in range(stops):
                        moments.append((length, time.monotonic()))
                        for pid in victims:
                            os.kill(pid, signal.SIGSTOP)
                        time.sleep(length / 1000.0)
                        for pid in victims:
                            os.kill(pid, signal.SIGCONT)
                        time.sleep(0.25 + random.random() * frames / RATE)  # at every phase of a period
                time.sleep(0.5)
                recorder.terminate()
                recorder.wait()
            finally:
                for pid in victims:  # never left stopped, whatever broke off the run
                    os.kill(pid, signal.SIGCONT)
                route.stop()
            glitches = [began + t for t in glitchcount.count_glitches(glitchcount.read_float32(path), 2, RATE,
                                                                        TONE_HZ)]
            os.unlink(path)
            heard = {length: 0 for length in lengths}
            matched = set()
            for length, at in moments:
                near = [g for g in glitches if at - 0.05 <= g <= at + length / 1000.0 + 0.2]
                heard[length] += 1 if near else 0
                matched.update(near)
            print("  %-6s %s; %d other glitches%s" % (
                name, ", ".join("%d ms: %d" % (length, heard[length]) for length in lengths),
                len(glitches) - len(matched), "; following the input's clock" if following else ""))
            sys.stdout.flush()
    finally:
        tone.stop()
        for module in reversed(modules):
            pactl("unload-module", module)


def engine_entries(kind):
    """The engine's sink-inputs or source-outputs in the server."""
    return pactl("list", kind).count('application.name = "vantrell"')


def ring_periods(stream_ids, seconds):
    """Periods each stream's export ring took over the window. The write offset wraps every five periods,
    so it is read every millisecond; also the longest gap between two reads (s)."""
    rings = []
    for stream in stream_ids:
        with open("/dev/shm/Stream%d" % stream, "rb") as f:
            rings.append(mmap.mmap(f.fileno(), 32, prot=mmap.PROT_READ))
    headers = [struct.unpack_from("<4Q", ring) for ring in rings]
    last, periods = [h[1] for h in headers], [0] * len(rings)
    start = previous = time.monotonic()
    longest = 0.0
    while previous - start < seconds:
        time.sleep(0.001)
        for k, ring in enumerate(rings):
            offset = struct.unpack_from("<Q", ring, 8)[0]
            periods[k] += (offset - last[k]) % headers[k][3] // headers[k][2]
            last[k] = offset
        now = time.monotonic()
        longest, previous = max(longest, now - previous), now
    for ring in rings:
        ring.close()
    return periods, previous - start, longest


def crowd(binary, streams=60, seconds=10.0, frames=256):
    streams, server = int(streams), server_pid()
    engine = Engine(binary, "pulse")
    try:
        for _ in range(streams):
            engine.add_stream(0, 0, 1, 2, RATE, frames)  # the default devices: the sine source, vantrell_main
        time.sleep(1)  # past the start's prebuffering
        before = cpu_seconds(engine.process.pid), cpu_seconds(server)
        periods, elapsed, longest = ring_periods(range(streams), seconds)
        own = 100.0 * (cpu_seconds(engine.process.pid) - before[0]) / elapsed
        served = 100.0 * (cpu_seconds(server) - before[1]) / elapsed
        shares = sorted(100.0 * p / (elapsed * RATE / frames) for p in periods)
        print("%d streams x %d frames at %d Hz, %.0f s: periods written, %% of real time's: min %.0f, median %.0f,"
              " max %.0f; %d streams under 80 %%; CPU engine %.1f %%, server %.1f %% of a core; the engine in the"
              " server: %d sink-inputs, %d source-outputs; longest gap between ring reads %.1f ms (a ring holds"
              " %.1f ms)" % (streams, frames, RATE, elapsed, shares[0], statistics.median(shares), shares[-1],
                             sum(share < 80 for share in shares), own, served, engine_entries("sink-inputs"),
                             engine_entries("source-outputs"), 1000 * longest, 5000.0 * frames / RATE))
    finally:
        engine.stop()


COMMANDS = {"attach": attach, "cost": cost, "crowd": crowd, "latency": latency, "scale": scale, "startup": startup,
            "restarts": restarts, "underruns": underruns, "glitch": glitch, "stall": stall}

if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in COMMANDS:
        raise SystemExit(__doc__)
    command, binary, rest = sys.argv[1], sys.argv[2], [float(a) for a in sys.argv[3:]]
    COMMANDS[command](binary, *rest)
