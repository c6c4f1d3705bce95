#!/usr/bin/env python3
"""What a request may cost the panel, against the real engine and panel (no browser).

  web_panel_limits_test.py VANTRELL VANTRELLCTL

Slow and oversized headers are closed without a worker; twelve connections trickling header lines
leave a request with the token answered; a chunked body is bounded as it arrives; stream settings
the engine cannot open are refused; a session load of a FIFO or of a file the engine refuses is
answered at once with the refusal, and Ctrl-C stops the panel while connections still trickle.
"""
import json, os, signal, socket, subprocess, sys, tempfile, threading, time, urllib.error, urllib.request

VANTRELL, VANTRELLCTL = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
failures = []


def check(condition, message):
    print(("ok    " if condition else "FAIL  ") + message, flush=True)
    if not condition:
        failures.append(message)


def wait_until(probe, timeout, every=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(every)


def ctl(*args):
    return subprocess.run([VANTRELLCTL, *map(str, args)], capture_output=True, text=True, timeout=20)


def post(base, token, action, body, timeout=10):
    """(status, JSON answer) of an action."""
    request = urllib.request.Request("%s/api/%s?token=%s" % (base, action, token), data=json.dumps(body).encode(),
                                     method="POST")
    try:
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as refused:
        return refused.code, json.loads(refused.read() or b"{}")
    except OSError as failed:  # no answer in time
        return None, {"error": str(failed)}


def status_line(connection):
    """The status code the panel answered on a raw connection, or None when it closed without one."""
    connection.settimeout(15)
    try:
        head = connection.recv(64)
    except OSError:
        return None
    return int(head.split()[1]) if head.startswith(b"HTTP/1.1 ") else None


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def main():
    if not os.environ.get("PULSE_SERVER"):
        print("no private PulseAudio: run under scripts/test.sh (start_private_pulse)")
        return 1
    work = tempfile.mkdtemp(prefix="vantrell-web-limits-")
    os.environ["VANTRELL_SOCKET"] = os.path.join(work, "engine.sock")
    engine = subprocess.Popen([VANTRELL], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, cwd=work)
    panel, trickling, stop = None, [], threading.Event()
    try:
        check(wait_until(lambda: ctl("streams").returncode == 0, 20), "the engine answers")
        panel = subprocess.Popen([VANTRELLCTL, "web", "--no-browser", "--port", str(free_port())],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, cwd=work)
        address = panel.stdout.readline().strip()
        base, token = address.split("/?token=")
        host = ("127.0.0.1", int(base.rsplit(":", 1)[1]))
        check(wait_until(lambda: post(base, token, "newSession", {})[0] == 200, 10), "the panel reaches the engine")

        # Twelve connections (as many as the panel answers at once) each send a header line a second.
        def trickle(connection):
            while not stop.is_set():
                try:
                    connection.sendall(b"X-Slow: 1\r\n")
                except OSError:
                    return
                stop.wait(1)
        for _ in range(12):
            connection = socket.create_connection(host)
            connection.sendall(b"GET /api/state HTTP/1.1\r\nHost: %s:%d\r\n" % (host[0].encode(), host[1]))
            trickling.append(connection)
            threading.Thread(target=trickle, args=(connection,), daemon=True).start()
        started = time.monotonic()
        status, _ = post(base, token, "newSession", {})
        check(status == 200, "a request with the token is answered beside 12 trickling connections in %.2f s"
              % (time.monotonic() - started))
        started = time.monotonic()
        check(status_line(trickling[0]) == 408, "a header still trickling is answered 408 and closed after %.1f s"
              % (time.monotonic() - started))

        rss = resident_kib(panel.pid)
        huge = socket.create_connection(host)
        sent = 0
        try:
            huge.sendall(b"GET / HTTP/1.1\r\nHost: %s:%d\r\n" % (host[0].encode(), host[1]))
            while sent < 100 << 20:
                huge.sendall(b"X-Line: " + b"x" * 90 + b"\r\n")
                sent += 100
        except OSError:
            pass
        check(sent < 4 << 20, "a header without end is cut off after %d bytes sent" % sent)
        chunked = socket.create_connection(host)
        chunked.sendall(b"POST /api/newSession?token=%s HTTP/1.1\r\nHost: %s:%d\r\nTransfer-Encoding: chunked\r\n\r\n"
                        % (token.encode(), host[0].encode(), host[1]))
        try:
            for _ in range(64):  # 1 MiB in 16 KiB chunks
                chunked.sendall(b"4000\r\n" + b" " * 0x4000 + b"\r\n")
            chunked.sendall(b"0\r\n\r\n")
        except OSError:
            pass
        check(status_line(chunked) == 413, "a chunked body above 64 KiB is refused with 413")
        check(resident_kib(panel.pid) - rss < 8 << 10, "the panel grew by %d KiB for both"
              % (resident_kib(panel.pid) - rss))

        for body in ({"inputChannels": 1000000000}, {"outputChannels": -1}, {"inputChannels": "two"},
                     {"bufferFrames": 2 ** 31 - 1}, {"bufferFrames": 65537}, {"outputChannels": 65}):
            status, answer = post(base, token, "addStream", body)
            check(status == 400, "addStream %s is refused (%d: %s)" % (body, status, answer.get("error")))

        os.mkfifo(os.path.join(work, "fifo"))
        started = time.monotonic()
        status, answer = post(base, token, "loadSession", {"name": os.path.join(work, "fifo")})
        check(status == 409 and "not a regular file" in answer.get("error", ""),
              "loading a FIFO is refused in %.2f s: %s" % (time.monotonic() - started, answer))
        sine = next(d["id"] for d in json.loads(ctl("devices", "--json").stdout)["inputs"])
        check(ctl("add", sine, 0, 1, 2, 48000, 512).returncode == 0, "a stream is added after it")
        saved = os.path.join(work, "live.json")
        check(post(base, token, "saveSession", {"name": saved})[0] == 200, "the panel saves a session")
        with open(saved) as f:
            document = json.load(f)
        for effect in document[1][0]["effects"]:
            if effect["name"] == "VolumeEffect":
                effect["parameters"]["volume"] = 1000.0
        with open(os.path.join(work, "loud.json"), "w") as f:
            json.dump(document, f)
        status, answer = post(base, token, "loadSession", {"name": os.path.join(work, "loud.json")})
        check(status == 409 and "did not load" in answer.get("error", ""),
              "a session the engine refuses is reported: %s" % answer)
        check(post(base, token, "loadSession", {"name": saved})[0] == 200, "the saved session loads")

        started = time.monotonic()
        panel.send_signal(signal.SIGINT)
        rest = panel.communicate(timeout=10)[0]
        check(panel.returncode == 0 and "Panel stopped" in rest,
              "Ctrl-C stops the panel in %.2f s with connections trickling" % (time.monotonic() - started))
    finally:
        stop.set()
        for connection in trickling:
            connection.close()
        if panel and panel.poll() is None:
            panel.kill()
            panel.wait()
        engine.kill()
        engine.wait()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
