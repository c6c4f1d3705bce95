#!/usr/bin/env python3
"""The web panel in headless Chromium against the real engine on the private PulseAudio.

  web_panel_test.py VANTRELL VANTRELLCTL [SCREENSHOT.png]

Opens the address `vantrellctl web` prints, finds the stream by its devices' names, moves
"Stream 0 volume" with the keyboard and hears it at the null sink, reads "Stream 0 level" fall when
the stream goes silent, toggles a route and hears the channel change, checks that requests without
the token or from a foreign page are refused, measures the meters' update rate in the page and the
panel's CPU with 4 streams metered, and stops the panel with Ctrl-C.
"""
import json, math, os, signal, socket, subprocess, sys, tempfile, time, urllib.error, urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.select import Select

VANTRELL, VANTRELLCTL = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
SCREENSHOT = sys.argv[3] if len(sys.argv) > 3 else None
SINK, RATE = "vantrell_main", 48000
failures = []


def check(condition, message):
    print(("ok    " if condition else "FAIL  ") + message, flush=True)
    if not condition:
        failures.append(message)
    return condition


def wait_until(probe, timeout, every=0.05):
    """The first truthy value of probe() within timeout seconds, or the last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(every)


def ctl(*args):
    return subprocess.run([VANTRELLCTL, *map(str, args)], capture_output=True, text=True, timeout=20)


def device_id(direction, name):
    devices = json.loads(ctl("devices", "--json").stdout)
    return next(d["id"] for d in devices[direction] if d["name"] == name)


def channel_levels(seconds=0.6):
    """RMS of each sink channel over the sound that arrived (50 ms blocks, median of the loud ones)."""
    rec = subprocess.Popen(["parec", "-d", SINK + ".monitor", "--format=float32le", "--channels=2",
                            "--rate=%d" % RATE, "--raw", "--latency-msec=20"], stdout=subprocess.PIPE)
    time.sleep(seconds)
    rec.terminate()
    data = rec.communicate()[0]
    count = len(data) // 8
    samples = memoryview(data[: count * 8]).cast("f")
    block = RATE // 20
    levels = []
    for channel in (0, 1):
        rms = []
        for start in range(0, count - block, block):
            energy = sum(samples[(start + i) * 2 + channel] ** 2 for i in range(0, block, 4)) / (block / 4)
            rms.append(math.sqrt(energy))
        # The server may stall a moment: blocks of silence in both channels are not the signal.
        loud = sorted(r for r in rms if r > 1e-4)
        levels.append(loud[len(loud) // 2] if len(loud) > len(rms) // 4 else 0.0)
    return levels


def status_of(url, headers=None, method="GET"):
    request = urllib.request.Request(url, headers=headers or {}, method=method, data=b"{}" if method == "POST" else None)
    try:
        with urllib.request.urlopen(request, timeout=5) as answer:
            return answer.status
    except urllib.error.HTTPError as refused:
        return refused.code


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def console(*lines):
    for line in lines:
        engine.stdin.write((line + "\n").encode())
    engine.stdin.flush()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    if not os.environ.get("PULSE_SERVER"):
        print("no private PulseAudio: run under scripts/test.sh (start_private_pulse)")
        return 1
    work = tempfile.mkdtemp(prefix="vantrell-web-")
    os.environ["VANTRELL_SOCKET"] = os.path.join(work, "engine.sock")
    engine_log = open(os.path.join(work, "engine.out"), "w+")
    global engine
    engine = subprocess.Popen([VANTRELL], stdin=subprocess.PIPE, stdout=engine_log, stderr=subprocess.STDOUT, cwd=work)
    panel = browser = None
    try:
        check(wait_until(lambda: ctl("streams").returncode == 0, 20), "the engine answers")
        sine, main_sink = device_id("inputs", "Sine source at 440 Hz"), device_id("outputs", "Vantrell_Main")
        check(ctl("add", sine, main_sink, 1, 2, 48000, 512).returncode == 0, "stream 0 added")
        check(ctl("start", 0).returncode == 0, "stream 0 started")

        port = free_port()
        panel = subprocess.Popen([VANTRELLCTL, "web", "--no-browser", "--port", str(port)], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True)
        address = panel.stdout.readline().strip()
        check(address.startswith("http://127.0.0.1:%d/?token=" % port), "first line is the address: " + address)
        base, token = address.split("/?token=")
        check(status_of(base + "/") == 401, "a page request without the token is refused (401)")
        check(status_of(base + "/api/state?token=wrong") == 401, "a wrong token is refused (401)")
        check(status_of(base + "/api/stopStream?token=" + token, {"Origin": "http://example.com"}, "POST") == 403,
              "an action from another page's origin is refused (403)")
        check(status_of(address, {"Host": "attacker.example:%d" % port}) == 403, "a foreign Host is refused (403)")
        check(status_of(address) == 200, "the printed address is served")

        options = webdriver.ChromeOptions()
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1440,1000", "--user-data-dir=" + os.path.join(work, "chromium")):
            options.add_argument(flag)
        browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        browser.get(address)

        def labelled(label):
            found = browser.find_elements(By.CSS_SELECTOR, '[aria-label="%s"]' % label)
            return found[0] if found else None

        card = wait_until(lambda: next((c for c in browser.find_elements(By.CSS_SELECTOR, "article.stream")
                                        if "Sine source at 440 Hz" in c.text and "Vantrell_Main" in c.text), None), 15)
        check(card is not None and card.get_attribute("aria-label") == "Stream 0",
              "stream 0 is found by its devices' names")
        level = lambda: float(labelled("Stream 0 level").get_attribute("aria-valuenow"))
        check(wait_until(lambda: level() > -20, 10), "Stream 0 level shows the tone (%.1f dBFS)" % level())
        full = channel_levels()
        check(full[0] > 0.05 and full[1] < 0.01, "the sink hears the tone on its first channel only: %s" % full)

        volume = labelled("Stream 0 volume")
        check(volume.get_attribute("type") == "range" and volume.get_attribute("value") == "100",
              "Stream 0 volume is a range input at 100")
        volume.send_keys(Keys.HOME)
        pressed = time.monotonic()
        fell = wait_until(lambda: level() <= -59, 5, every=0.01)
        fall = time.monotonic() - pressed
        check(fell and fall < 0.5, "Stream 0 level falls to silence %.2f s after Home" % fall)
        check(wait_until(lambda: channel_levels(0.4)[0] < 0.001, 5), "the sink goes silent at volume 0")
        volume.send_keys(Keys.ARROW_RIGHT * 50)
        half = wait_until(lambda: (lambda l: l if abs(l[0] / full[0] - 0.5) < 0.1 else None)(channel_levels(0.5)), 6)
        check(half is not None, "volume 50 by the arrow keys halves the tone at the sink: %s of %s" % (half, full))

        route = labelled("Stream 0 route 1 to 2")
        check(route.get_attribute("aria-pressed") == "false", "route 1 to 2 starts off")
        route.click()
        check(wait_until(lambda: labelled("Stream 0 route 1 to 2").get_attribute("aria-pressed") == "true", 5),
              "route 1 to 2 shows on after a click")
        check(wait_until(lambda: channel_levels(0.5)[1] > 0.02, 6), "the sink's second channel carries the tone")
        labelled("Stream 0 route 1 to 2").click()
        check(wait_until(lambda: channel_levels(0.4)[1] < 0.001, 6), "a second click takes it off again")

        labelled("Stop stream 0").click()
        check(wait_until(lambda: labelled("Start stream 0") is not None and level() <= -59, 5),
              "Stop stream 0 stops it and its meter reads silence")
        labelled("Start stream 0").click()
        check(wait_until(lambda: labelled("Stop stream 0") is not None and level() > -20, 10),
              "Start stream 0 starts it again")

        # Four metered streams (one added on the page), an effect and a group to show, then the figures.
        Select(labelled("Input device of the new stream")).select_by_visible_text("Sine source at 440 Hz")
        Select(labelled("Output device of the new stream")).select_by_visible_text("Vantrell_Main")
        browser.find_element(By.XPATH, "//button[normalize-space()='Add stream']").click()
        check(wait_until(lambda: labelled("Stream 1") is not None, 10), "Add stream adds stream 1")
        alt = device_id("outputs", "Vantrell_Alt")
        for output in (alt, alt):
            ctl("add", sine, output, 1, 2, 0, 512)
        for stream in (1, 2, 3):
            ctl("start", stream)
        ctl("add-effect", 1, "ReverbEffect")
        ctl("set", 0, "VolumeEffect", "volume", 100)
        console("linkStreams 2 3", "setStreamGroupVolumeRatioSync 0 true")
        check(wait_until(lambda: len(browser.find_elements(By.CSS_SELECTOR, "article.stream")) == 4, 10),
              "the page shows the streams added by another client")
        check(wait_until(lambda: labelled("Stream 1 ReverbEffect mix") is not None, 10),
              "an effect added by another client appears with its sliders")
        group = wait_until(lambda: labelled("Group 0"), 10)
        check(group is not None and "streams 2, 3" in group.text and "volume sync ratio" in group.text,
              "the group linked at the console shows its members and sync mode: %r" % (group and group.text))
        before_events = browser.execute_script("return window.vantrellPanel.levelEvents")
        before_cpu, started = cpu_seconds(panel.pid), time.monotonic()
        time.sleep(5)  # a measuring window, not a wait for a condition
        elapsed = time.monotonic() - started
        rate = (browser.execute_script("return window.vantrellPanel.levelEvents") - before_events) / elapsed
        cpu = (cpu_seconds(panel.pid) - before_cpu) / elapsed * 100
        check(rate >= 20, "the page received %.1f meter updates a second" % rate)
        print("panel CPU with 4 streams metered: %.1f %% of one core" % cpu, flush=True)
        if SCREENSHOT:
            browser.save_screenshot(SCREENSHOT)
            print("screenshot: " + SCREENSHOT)

        # A device that goes while a stream plays on it is announced on the page.
        module = subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=vantrell_web_gone",
                                 "sink_properties=device.description=Vantrell_Web_Gone"],
                                capture_output=True, text=True).stdout.strip()
        gone = wait_until(lambda: next((d["id"] for d in json.loads(ctl("devices", "--json").stdout)["outputs"]
                                        if d["name"] == "Vantrell_Web_Gone"), None), 10)
        added = ctl("add", sine, gone, 1, 2, 0, 512).stdout.split()[-1]
        ctl("start", added)
        # The page names a lost device it has listed; it reads the list again within 2 s of a stream on
        # a device it does not know, and a start now returns as soon as the stream runs.
        check(wait_until(lambda: "Vantrell_Web_Gone" in browser.find_element(By.ID, "devices").text, 10),
              "the page lists the new sink")
        subprocess.run(["pactl", "unload-module", module], capture_output=True)
        notice = wait_until(lambda: next((n.text for n in browser.find_elements(By.CSS_SELECTOR, ".notice")
                                          if "Vantrell_Web_Gone" in n.text), None), 15)
        check(notice is not None and "disconnected" in notice, "the lost device's notice shows: %r" % notice)

        browser.quit()
        browser = None
        panel.send_signal(signal.SIGINT)
        rest = panel.communicate(timeout=5)[0]
        if not check(panel.returncode == 0 and "Panel stopped" in rest, "Ctrl-C stops the panel cleanly"):
            print("panel status %s, its last output: %r" % (panel.returncode, rest[-500:]), flush=True)
    finally:
        if browser:
            browser.quit()
        if panel and panel.poll() is None:
            panel.kill()
            panel.wait()
        engine.kill()
        engine.wait()
        if failures:
            engine_log.seek(0)
            print("engine output (end):\n" + engine_log.read()[-3000:])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
