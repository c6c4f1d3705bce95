#!/usr/bin/env python3
"""Drives the real engine binary on the private PulseAudio for the soak and the round-trip benchmark.

  engine_driver.py roundtrip BINARY            FaderValue request to reply, p50/p99: one client, then
                                               8 clients at once, then beside one that never reads
  engine_driver.py soak BINARY [SECONDS]       reconnecting client + console against 4 streams
  engine_driver.py codec                       prints sample requests as hex (checked against the
                                               engine's own codec by its unit tests)

Both start the engine with 4 running streams on the default devices. Packets: 32-bit payload size,
16-bit type, payload; request strings carry a 32-bit length.
"""
import os, random, socket, struct, subprocess, sys, tempfile, threading, time, math

SOCKET_PATH = "/tmp/vantrell_sock"
STREAMS = 4


def string(value):
    data = value.encode()
    return struct.pack("<i", len(data)) + data


def packet(kind, payload=b""):
    return struct.pack("<iH", len(payload), kind) + payload


def ints(*values):
    return b"".join(struct.pack("<i", v) for v in values)


def floats(*values):
    return b"".join(struct.pack("<f", v) for v in values)


# One request of each payload shape, for the codec check.
CODEC_SAMPLES = [
    packet(4),
    packet(5, ints(129, 130, 1, 2, 48000, 512)),
    packet(6, ints(-1) + string("VolumeEffect") + string("volume") + floats(50.5)),
    packet(15, ints(0, 129, 131, 1, 2, 44100, 256) + string("Mic \u2192 Speakers")),
    packet(18, ints(3) + string("PanEffect") + ints(1)),
]


class Engine:
    def __init__(self, binary):
        self.output = tempfile.NamedTemporaryFile(prefix="vantrell-driver-", suffix=".out", delete=False)
        self.process = subprocess.Popen([os.path.abspath(binary)], stdin=subprocess.PIPE, stdout=self.output,
                                        stderr=subprocess.STDOUT, cwd=tempfile.gettempdir())
        self.console_lock = threading.Lock()
        deadline = time.time() + 20
        while "Unix socket started at" not in self.text():
            if time.time() > deadline or self.process.poll() is not None:
                raise SystemExit("the engine did not start:\n" + self.text()[-2000:])
            time.sleep(0.1)
        for stream in range(STREAMS):
            self.console("addStream")
            self.console("startStream %d" % stream)
        time.sleep(1.0)
        if self.text().count("started successfully") < STREAMS:
            raise SystemExit("streams did not start:\n" + self.text()[-3000:])

    def console(self, line):
        with self.console_lock:
            self.process.stdin.write((line + "\n").encode())
            self.process.stdin.flush()

    def text(self):
        with open(self.output.name, "rb") as f:
            return f.read().decode(errors="replace")

    def alive(self):
        return self.process.poll() is None

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def descriptors(self):
        return len(os.listdir("/proc/%d/fd" % self.process.pid))

    def stop(self):
        if self.alive():
            try:
                self.console("exit")
                self.process.wait(10)
            except Exception:
                self.process.kill()
        os.unlink(self.output.name)


def connect():
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.settimeout(5)
    client.connect(SOCKET_PATH)
    return client


def receive_packet(client):
    def exactly(count):
        data = b""
        while len(data) < count:
            chunk = client.recv(count - len(data))
            if not chunk:
                raise ConnectionError("closed")
            data += chunk
        return data
    size, kind = struct.unpack("<iH", exactly(6))
    return kind, exactly(size)


def fader_round_trips(client, count, first=0, command=False):
    """Round trips of `count` FaderValue requests in microseconds; every reply names the stream asked.
    With `command`, each goes inside a Command and the trip ends at its result (done, its own id)."""
    times = []
    for i in range(first, first + count):
        start = time.perf_counter_ns()
        request = ints(i % STREAMS)
        client.sendall(packet(64, ints(i, 12) + request) if command else packet(12, request))
        kind, payload = receive_packet(client)
        if command:
            result_kind, result = receive_packet(client)
            assert result_kind == 65 and struct.unpack("<ii", result[:8]) == (i, 0), (result_kind, result)
        times.append((time.perf_counter_ns() - start) / 1000.0)
        assert kind == 12, kind
        assert struct.unpack("<i", payload[:4])[0] == i % STREAMS, "a reply out of order"
    return times


def percentiles(times):
    times = sorted(times)
    pick = lambda q: times[min(len(times) - 1, int(math.ceil(q * len(times))) - 1)]
    return "p50 %.1f us, p99 %.1f us, max %.1f us" % (pick(0.50), pick(0.99), times[-1])


def roundtrip(binary):
    engine = Engine(binary)
    try:
        client = connect()
        for command, what in ((False, "FaderValue"), (True, "FaderValue inside a Command, to its result")):
            fader_round_trips(client, 100, command=command)  # warms the path up
            times = fader_round_trips(client, 1000, command=command)
            print("%s round trip over %d requests, one client, %d streams running: %s"
                  % (what, len(times), STREAMS, percentiles(times)))

            # Eight clients at once, each with its own connection, 200 requests each, all in order.
            results, errors = [], []
            def one_client():
                try:
                    own = connect()
                    fader_round_trips(own, 20, command=command)
                    results.extend(fader_round_trips(own, 200, command=command))
                    own.close()
                except Exception as failure:  # reported below
                    errors.append(repr(failure))
            threads = [threading.Thread(target=one_client) for _ in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            if errors:
                raise SystemExit("clients failed: %s" % errors)
            print("%s round trip over %d requests, 8 clients at once, all answered in order: %s"
                  % (what, len(results), percentiles(results)))

        # A client that asks much and never reads, beside one that is measured.
        deaf = connect()
        deaf.sendall(b"".join(packet(19, ints(-1) + string("VolumeEffect")) for _ in range(8000)))
        times = fader_round_trips(client, 200)
        print("FaderValue round trip over %d requests beside a client that never reads: %s"
              % (len(times), percentiles(times)))
        time.sleep(3)  # past the engine's 2 s limit for a client that takes nothing
        deaf.settimeout(10)
        try:
            while deaf.recv(65536):
                pass
            print("the client that never read was closed by the engine")
        except OSError as failure:
            print("the client that never read: %r" % failure)
    finally:
        engine.stop()


def random_request(rng):
    stream = rng.randrange(-1, STREAMS + 1)
    effect = rng.choice(["VolumeEffect", "PanEffect", "ReverbEffect", "EQEffect", "Nope"])
    valid = [
        packet(12, ints(stream)),
        packet(4),
        packet(14, ints(stream)),
        packet(16, ints(stream)),
        packet(19, ints(stream) + string(effect)),
        packet(6, ints(stream) + string("VolumeEffect") + string("volume") + floats(rng.uniform(20, 150))),
        packet(17, ints(stream) + string(rng.choice(["PanEffect", "ReverbEffect"]))),
        packet(20, ints(stream) + string(rng.choice(["PanEffect", "ReverbEffect"]))),
        packet(18, ints(stream) + string("PanEffect") + ints(rng.randrange(2))),
        packet(9, ints(0, 0)),
    ]
    invalid = [
        # Types no request has (10, 11 and 13 are the session requests: a new session would end the run).
        packet(rng.choice([0, 21, 22, 99, 65535]), ints(1)),
        struct.pack("<iH", rng.choice([-1, 2**31 - 1, 70000]), 12) + os.urandom(rng.randrange(40)),
        packet(19, ints(stream, 1000) + b"abc"),
        packet(12, os.urandom(rng.randrange(8))),
    ]
    return rng.choice(valid) if rng.random() < 0.8 else rng.choice(invalid)


def record_level():
    """RMS and zero-crossing frequency of one second at the main null sink."""
    try:
        data = subprocess.run(["timeout", "3", "parec", "-d", "vantrell_main.monitor", "--format=float32le",
                               "--channels=1", "--rate=48000", "--latency-msec=50"],
                              capture_output=True).stdout
    except FileNotFoundError:
        return 0.0, 0.0
    samples = struct.unpack("<%df" % (len(data) // 4), data[: len(data) // 4 * 4])[24000:]
    if len(samples) < 24000:
        return 0.0, 0.0
    rms = math.sqrt(sum(s * s for s in samples) / len(samples))
    crossings = sum(1 for a, b in zip(samples, samples[1:]) if a < 0 <= b)
    return rms, crossings * 48000.0 / len(samples)


def soak(binary, seconds):
    engine = Engine(binary)
    rng = random.Random(16)
    stop = threading.Event()
    sent = [0]
    failures = []

    def client_loop():
        while not stop.is_set():
            try:
                client = connect()
                client.settimeout(0.01)
                for _ in range(rng.randrange(1, 60)):
                    client.sendall(random_request(rng))
                    sent[0] += 1
                    try:
                        while client.recv(65536):
                            pass
                    except (socket.timeout, BlockingIOError):
                        pass
                client.close()
            except (ConnectionError, socket.timeout, OSError) as error:
                if not engine.alive():
                    failures.append("client: engine gone (%s)" % error)
                    return
                time.sleep(0.05)
            except Exception as error:  # a fault of the soak itself must not pass as a quiet run
                failures.append("client: %r" % error)
                return

    def console_loop():
        while not stop.is_set():
            stream = rng.randrange(STREAMS)
            engine.console(rng.choice([
                "setEffectParameter %d VolumeEffect volume %d" % (stream, rng.randrange(20, 150)),
                "addEffect %d PanEffect" % stream, "removeEffect %d PanEffect" % stream,
                "setEffectEnable %d PanEffect %s" % (stream, rng.choice(["true", "false"])),
                "listStreams", "setMasterEffectParameter VolumeEffect volume %d" % rng.randrange(50, 120)]))
            time.sleep(0.02)

    time.sleep(2)
    start_rss, start_fds = engine.rss_kib(), engine.descriptors()
    threads = [threading.Thread(target=client_loop), threading.Thread(target=console_loop)]
    for thread in threads:
        thread.start()
    began = time.time()
    while time.time() - began < seconds and engine.alive() and not failures:
        time.sleep(1)
    stop.set()
    for thread in threads:
        thread.join()
    alive = engine.alive()
    end_rss, end_fds = (engine.rss_kib(), engine.descriptors()) if alive else (0, 0)
    served = engine.text().count("Socket received packet with size: ")
    rms = frequency = 0.0
    if alive:
        for stream in range(STREAMS):
            engine.console("setEffectParameter %d VolumeEffect volume 100" % stream)
            engine.console("removeEffect %d PanEffect" % stream)
        engine.console("setMasterEffectParameter VolumeEffect volume 100")
        time.sleep(1)
        rms, frequency = record_level()
    print("soak: %d s, %d requests sent, %d served" % (int(time.time() - began), sent[0], served))
    print("soak: resident memory %d KiB -> %d KiB, descriptors %d -> %d" % (start_rss, end_rss, start_fds, end_fds))
    print("soak: tone at the sink %.1f Hz, rms %.3f" % (frequency, rms))
    engine.stop()
    problems = list(failures)
    if not alive:
        problems.append("the engine died")
    if alive and end_rss > start_rss * 1.5 + 20 * 1024:
        problems.append("resident memory grew without bound")
    if alive and end_fds > start_fds + 8:
        problems.append("descriptors grew")
    if alive and (rms < 0.05 or abs(frequency - 440) > 10):
        problems.append("the tone at the sink is gone")
    for problem in problems:
        print("soak FAILED: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] == "codec":
        for sample in CODEC_SAMPLES:
            print(sample.hex())
        sys.exit(0)
    if len(sys.argv) < 3 or sys.argv[1] not in ("roundtrip", "soak"):
        raise SystemExit(__doc__)
    if sys.argv[1] == "roundtrip":
        roundtrip(sys.argv[2])
    else:
        sys.exit(soak(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 600))
