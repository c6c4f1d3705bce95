#!/usr/bin/env python3
"""What a request may cost the panel, against the real engine and panel (no browser).

  web_panel_limits_test.py VANTRELL VANTRELLCTL

Trickling and endless headers are closed without a worker, a request with the token is answered
beside them, a chunked body is bounded as it arrives, stream settings the engine cannot open are
refused, impossible body lengths are refused at once, a session load of a FIFO is refused at once, and Ctrl-C stops the panel meanwhile.
"""
import json, os, signal, socket, subprocess, sys, tempfile, threading, time, urllib.error, urllib.request

VANTRELL, VANTRELLCTL = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
failures = []


def check(condition, message):
    print(("ok    " if condition else "FAIL  ") + message, flush=True)
    if not condition:
        failures.append(message)


def ctl(*args):
    return subprocess.run([VANTRELLCTL, *map(str, args)], capture_output=True, text=True, timeout=20)


def post(base, token, action, body):
    """(status, JSON answer) of an action; no status when it is not answered in 10 s."""
    request = urllib.request.Request("%s/api/%s?token=%s" % (base, action, token), json.dumps(body).encode())
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as refused:
        return refused.code, json.loads(refused.read() or b"{}")
    except OSError as failed:
        return None, {"error": str(failed)}


def status_on(connection):
    """The status the panel answered on a raw connection (None if it closed without one)."""
    connection.settimeout(15)
    try:
        head = connection.recv(64)
    except OSError:
        return None
    return int(head.split()[1]) if head.startswith(b"HTTP/1.1 ") else None


def sends(connection, chunks):
    """Sends until the panel closes the connection; the bytes it took."""
    sent = 0
    try:
        for chunk in chunks:
            connection.sendall(chunk)
            sent += len(chunk)
    except OSError:
        pass
    return sent


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def main():
    if not os.environ.get("PULSE_SERVER"):
        print("no private PulseAudio: run under scripts/test.sh (start_private_pulse)")
        return 1
    work = tempfile.mkdtemp(prefix="vantrell-web-limits-")
    os.environ["VANTRELL_SOCKET"] = os.path.join(work, "engine.sock")
    engine = subprocess.Popen([VANTRELL], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              cwd=work)
    panel, stop = None, threading.Event()
    try:
        deadline = time.monotonic() + 20
        while ctl("streams").returncode != 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        panel = subprocess.Popen([VANTRELLCTL, "web", "--no-browser", "--port", str(port)], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True, cwd=work)
        base, token = panel.stdout.readline().strip().split("/?token=")
        head = b"Host: 127.0.0.1:%d\r\n" % port
        connect = lambda: socket.create_connection(("127.0.0.1", port))
        check(post(base, token, "newSession", {})[0] == 200, "the panel reaches the engine")

        # As many connections as the panel has workers, each sending a header line a second.
        trickling = [connect() for _ in range(12)]
        for connection in trickling:
            connection.sendall(b"GET /api/state HTTP/1.1\r\n" + head)
            threading.Thread(target=lambda c: sends(c, iter(lambda: b"" if stop.wait(1) else b"X-Slow: 1\r\n", b"")),
                             args=(connection,), daemon=True).start()
        started = time.monotonic()
        check(post(base, token, "newSession", {})[0] == 200,
              "a request with the token is answered beside 12 trickling headers in %.2f s" % (time.monotonic() - started))
        check(status_on(trickling[0]) == 408,
              "a trickling header is answered 408 and closed after %.1f s" % (time.monotonic() - started))

        rss = resident_kib(panel.pid)
        endless = connect()
        sent = sends(endless, [b"GET / HTTP/1.1\r\n" + head] + [b"X-Line: " + b"x" * 90 + b"\r\n"] * 100000)
        check(sent < 1 << 20, "a header without end is cut off after %d bytes sent" % sent)
        chunked = connect()
        sends(chunked, [b"POST /api/newSession?token=%s HTTP/1.1\r\n%sTransfer-Encoding: chunked\r\n\r\n"
                        % (token.encode(), head)] + [b"4000\r\n" + b" " * 0x4000 + b"\r\n"] * 64 + [b"0\r\n\r\n"])
        check(status_on(chunked) == 413, "a chunked body of 1 MiB is refused with 413")
        for length, status in ((b"-5", 400), (b"1e20", 400), (b"1" + b"0" * 20, 413), (b"70000", 413)):
            impossible = connect()
            started = time.monotonic()
            impossible.sendall(b"POST /api/newSession?token=%s HTTP/1.1\r\n%sContent-Length: %s\r\n\r\n"
                               % (token.encode(), head, length))
            answered = status_on(impossible)
            check(answered == status and time.monotonic() - started < 1.5,
                  "Content-Length %s is answered %s in %.2f s" % (length.decode(), answered, time.monotonic() - started))
            impossible.close()
        grown = resident_kib(panel.pid) - rss
        check(grown < 8 << 10, "the panel grew by %d KiB for both" % grown)

        for body in ({"inputChannels": 1000000000}, {"outputChannels": -1}, {"inputChannels": "two"},
                     {"outputChannels": 65}, {"bufferFrames": 65537}, {"bufferFrames": 2 ** 31 - 1}):
            status, answer = post(base, token, "addStream", body)
            check(status == 400, "addStream %s is refused (%s: %s)" % (body, status, answer.get("error")))

        status, answer = post(base, token, "setParameter",
                              {"id": -1, "effect": "VolumeEffect", "parameter": "volume", "value": 1000})
        check(status == 409 and "is outside" in answer.get("error", ""),
              "a value the engine refuses answers 409 with its reason: %s" % answer)

        os.mkfifo(os.path.join(work, "fifo"))
        started = time.monotonic()
        status, answer = post(base, token, "loadSession", {"name": os.path.join(work, "fifo")})
        check(status == 409 and "not a regular file" in answer.get("error", ""),
              "loading a FIFO is refused in %.2f s: %s" % (time.monotonic() - started, answer))
        check(post(base, token, "newSession", {})[0] == 200, "the next action is answered")

        started = time.monotonic()
        panel.send_signal(signal.SIGINT)
        rest = panel.communicate(timeout=10)[0]
        check(panel.returncode == 0 and "Panel stopped" in rest,
              "Ctrl-C stops the panel in %.2f s while headers trickle" % (time.monotonic() - started))
    finally:
        stop.set()
        if panel and panel.poll() is None:
            panel.kill()
            panel.wait()
        engine.kill()
        engine.wait()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
