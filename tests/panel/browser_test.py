"""The panel's page in a real browser: headless Chromium, driven by
Selenium, against `orvane-panel --sim` on loopback.

Run through run_browser_tests.py (CTest's panel_browser), which passes the
programs and the output folder in ORVANE_PANEL_BIN, ORVANE_SIM_BIN and
ORVANE_PANEL_OUT. Times are compared on the machine's wall clock: the
panel stamps each protocol line of its simulator when the simulator sent or
received it, and the page stamps what it shows when it arrived.
"""
import json
import os
import queue
import re
import signal
import statistics
import subprocess
import tempfile
import threading
import time
import urllib.request

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

PANEL = os.environ.get("ORVANE_PANEL_BIN", "orvane-panel")
SIM = os.environ.get("ORVANE_SIM_BIN", "orvane-sim")
OUT = os.environ.get("ORVANE_PANEL_OUT", tempfile.gettempdir())
FIGURES = {}


# ---- processes -----------------------------------------------------------------

class Program:
    """A program of ours whose standard output is read line by line."""

    def __init__(self, args):
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        self._lines = queue.Queue()
        self.output = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.output.append(line)
            self._lines.put(line)

    def wait_for(self, pattern, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self._lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            match = re.search(pattern, line)
            if match:
                return match
        raise AssertionError(f"{pattern!r} not seen; output so far: {''.join(self.output)}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()

    def cpu_seconds(self):
        with open(f"/proc/{self.proc.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime


class PanelProgram(Program):
    def __init__(self, *args):
        super().__init__([PANEL, *args])
        self.url = self.wait_for(r"serving (http://127\.0\.0\.1:\d+/)").group(1)
        assert self.url.startswith("http://127.0.0.1:")

    def get(self, path):
        with urllib.request.urlopen(self.url.rstrip("/") + path, timeout=5) as response:
            return json.loads(response.read())

    def post(self, path, body, token, session):
        request = urllib.request.Request(
            self.url.rstrip("/") + path, data=json.dumps(body).encode(), method="POST",
            headers={"Content-Type": "application/json", "X-Panel-Token": token, "X-Panel-Session": session})
        with urllib.request.urlopen(request, timeout=5) as response:
            return json.loads(response.read())

    def lines(self, since=0):
        return self.get(f"/api/lines?controller=0&since={since}")["lines"]


# ---- the controller's status lines -----------------------------------------------

def status_values(text):
    return [int(v) for v in text[4:].split(",")] if text.startswith("100:") else None


def still(values, axis):
    word = values[12] if axis < 4 else values[13]
    return bool(word >> (2 * (axis % 4)) & 1)


def count_of(position):
    """The pulse count of a position with the default axis parameters."""
    return round(position * 1000)


def first_sent_status(lines, after_ms, predicate):
    """Wall time of the first status line sent after after_ms that satisfies predicate."""
    for seq, wall, direction, garbage, text in lines:
        if direction != ">" or garbage or wall < after_ms:
            continue
        values = status_values(text)
        if values and predicate(values):
            return wall
    return None


# ---- fixtures --------------------------------------------------------------------------

@pytest.fixture(scope="module")
def panel():
    program = PanelProgram("--sim")
    yield program
    code = program.stop()
    assert code == 0, "".join(program.output)
    assert "orvane panel: stopped" in "".join(program.output)


def make_driver():
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-extensions", "--disable-default-apps", "--mute-audio", "--hide-scrollbars",
                "--user-data-dir=" + tempfile.mkdtemp(prefix="orvane-panel-chromium-"), "--window-size=1440,1250"):
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


@pytest.fixture
def browser():
    driver = make_driver()
    yield driver
    driver.quit()


def wait_until(condition, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError(f"timed out waiting for {what}")


def js(driver, script, *args):
    return driver.execute_script(script, *args)


def open_page(driver, panel):
    """Loads the panel and waits until this page holds the controls."""
    driver.get(panel.url)
    wait_until(lambda: js(driver, "return window.panel && window.panel.you === true"), 8, "the page to hold the controls")


def all_still(panel):
    state = panel.get("/api/state")["controllers"][0]
    return state["rest"] and all(state["rest"])


def type_into(driver, element_id, value):
    element = driver.find_element(By.ID, element_id)
    element.clear()
    element.send_keys(str(value))


def page_now(driver):
    return js(driver, "return Date.now()")


def screenshot(driver, name):
    """The whole page, 1440 pixels wide."""
    height = js(driver, "return document.documentElement.scrollHeight")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1440, "height": height, "deviceScaleFactor": 1, "mobile": False})
    time.sleep(0.3)
    path = os.path.join(OUT, name)
    driver.save_screenshot(path)
    driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
    return path


# ---- tests ------------------------------------------------------------------------------------

def test_page_loads_without_errors_and_shows_the_controller(browser, panel):
    open_page(browser, panel)
    wait_until(lambda: browser.find_element(By.ID, "info-version").text == "orvane-sim 0.1.0", 5, "the version")
    assert browser.find_element(By.ID, "info-link").text == "connected, ready"
    assert browser.find_element(By.ID, "info-type").text.startswith("2")
    assert len(browser.find_elements(By.CSS_SELECTOR, "#axes-body tr")) == 6
    assert browser.find_element(By.ID, "sim-card").is_displayed()
    errors = [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]
    assert errors == []


def test_move_arrival_shows_within_500_ms_of_the_simulator(browser, panel):
    open_page(browser, panel)
    wait_until(lambda: all_still(panel), 10, "all axes at rest")
    start = panel.get("/api/state")["controllers"][0]["pos"][0]
    target = round(start + 20.0, 3)
    type_into(browser, "axis-0-speed", 50)
    type_into(browser, "axis-0-target", target)
    clicked = page_now(browser)
    browser.find_element(By.ID, "axis-0-move").click()

    arrival = wait_until(lambda: js(browser, """
        return window.panel.arrivals.find((a) => a.controller === 0 && a.axis === 0 && a.time > arguments[0]
                                              && Math.abs(a.position - arguments[1]) < 1e-6) || null;""",
                                    clicked, target), 10, "the page to show the arrival")
    assert browser.find_element(By.ID, "axis-0-pos").text == f"{target:.3f}"
    assert browser.find_element(By.ID, "axis-0-state").text == "at rest"
    sim_arrival = first_sent_status(panel.lines(), clicked,
                                    lambda v: v[0] == count_of(target) and still(v, 0))
    assert sim_arrival is not None, "the simulator's arrival was not found among its status lines"
    delay = arrival["time"] - sim_arrival
    FIGURES["arrival shown after the simulator's (ms)"] = round(delay, 1)
    print(f"\narrival: simulator {sim_arrival:.0f}, page {arrival['time']:.0f}, shown {delay:.1f} ms later")
    assert -5 <= delay <= 500


def test_clicking_input_7_in_the_simulator_part_is_reported_by_the_library(browser, panel):
    open_page(browser, panel)
    assert panel.get("/api/state")["controllers"][0]["inputs"][6] == "0"
    browser.find_element(By.ID, "sim-input-7").click()
    wait_until(lambda: panel.get("/api/state")["controllers"][0]["inputs"][6] == "1", 3,
               "the library to report input 7 on")
    wait_until(lambda: "on" in browser.find_element(By.ID, "input-7").get_attribute("class"), 2,
               "the page to show input 7 on")
    assert "on" in browser.find_element(By.ID, "sim-input-7").get_attribute("class")
    inputs = panel.get("/api/state")["controllers"][0]["inputs"]
    assert inputs == "000000100000000000000000"
    browser.find_element(By.ID, "sim-input-7").click()
    wait_until(lambda: panel.get("/api/state")["controllers"][0]["inputs"][6] == "0", 3,
               "the library to report input 7 off")


def test_releasing_the_jog_button_stops_the_axis_within_300_ms(browser, panel):
    open_page(browser, panel)
    wait_until(lambda: all_still(panel), 10, "all axes at rest")
    type_into(browser, "axis-1-speed", 20)
    button = browser.find_element(By.ID, "axis-1-jog-plus")
    before = panel.get("/api/state")["controllers"][0]["pos"][1]
    ActionChains(browser).click_and_hold(button).perform()
    time.sleep(1.0)
    assert panel.get("/api/state")["controllers"][0]["rest"][1] is False, "the axis does not jog while held"
    ActionChains(browser).release().perform()
    released = wait_until(lambda: js(browser, """
        const e = window.panel.events.filter((e) => e.type === 'jog-release' && e.axis === 1).pop();
        return e ? e.time : null;"""), 2, "the page to see the release")
    reason = js(browser, "return window.panel.events.filter((e) => e.type === 'jog-release').pop().reason")
    assert reason == "released"
    wait_until(lambda: all_still(panel), 3, "axis 1 to stand still")
    stood = first_sent_status(panel.lines(), released, lambda v: still(v, 1))
    assert stood is not None
    after = panel.get("/api/state")["controllers"][0]["pos"][1]
    assert after > before + 10, "the held jog moved the axis too little"
    FIGURES["jog release to axis standing still (ms)"] = round(stood - released, 1)
    print(f"\njog released; axis 1 stood still {stood - released:.1f} ms later")
    assert stood - released <= 300


def test_closing_the_tab_while_jogging_stops_the_axis(browser, panel):
    open_page(browser, panel)
    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    browser.get(panel.url)
    # The second page is told that another one holds the controls ...
    wait_until(lambda: browser.find_element(By.ID, "holder-banner").is_displayed(), 5, "the holder banner")
    assert "Another page holds the controls" in browser.find_element(By.ID, "holder-banner").text
    assert not browser.find_element(By.ID, "axis-2-move").is_enabled()
    # ... and takes them over explicitly.
    browser.find_element(By.ID, "take-over").click()
    wait_until(lambda: js(browser, "return window.panel.you === true"), 3, "the take-over")
    wait_until(lambda: browser.find_element(By.ID, "axis-2-jog-plus").is_enabled(), 2, "enabled controls")

    ActionChains(browser).click_and_hold(browser.find_element(By.ID, "axis-2-jog-plus")).perform()
    wait_until(lambda: panel.get("/api/state")["controllers"][0]["rest"][2] is False, 2, "axis 2 to jog")
    time.sleep(0.5)
    assert panel.get("/api/state")["controllers"][0]["rest"][2] is False
    closed = time.time() * 1000
    browser.close()
    browser.switch_to.window(first)
    wait_until(lambda: panel.get("/api/state")["controllers"][0]["rest"][2] is True, 3,
               "axis 2 to stand still after its tab was closed")
    lines = panel.lines()
    stop_sent = next((wall for _, wall, d, _, text in lines if d == "<" and wall >= closed
                      and text.startswith("140:2,")), None)
    stood = first_sent_status(lines, closed, lambda v: still(v, 2))
    assert stop_sent is not None and stood is not None
    FIGURES["tab closed to stop received (ms)"] = round(stop_sent - closed, 1)
    FIGURES["tab closed to axis standing still (ms)"] = round(stood - closed, 1)
    print(f"\ntab closed; stop at the simulator after {stop_sent - closed:.1f} ms, still after {stood - closed:.1f} ms")
    assert stood - closed <= 1000


def test_screenshots_at_rest_and_during_a_move(browser, panel):
    open_page(browser, panel)
    wait_until(lambda: all_still(panel), 10, "all axes at rest")
    time.sleep(1.0)
    screenshot(browser, "panel-at-rest.png")
    # Long moves: typing into the page takes a while on a busy machine.
    for axis, target in enumerate((150, -120, 180, 90, -160, 120)):
        type_into(browser, f"axis-{axis}-speed", 10 + 2 * axis)
        type_into(browser, f"axis-{axis}-target", target)
        browser.find_element(By.ID, f"axis-{axis}-move").click()
    time.sleep(1.5)
    assert not all_still(panel), browser.find_element(By.ID, "message").text
    screenshot(browser, "panel-moving.png")
    browser.find_element(By.ID, "stop-all").click()
    wait_until(lambda: all_still(panel), 5, "stop all to stop every axis")


def six_axes_moving(driver, panel, distance=400.0):
    token = js(driver, "return document.querySelector('meta[name=\"panel-token\"]').content")
    session = js(driver, "return window.panel.session")
    positions = panel.get("/api/state")["controllers"][0]["pos"]
    for axis in range(6):
        target = positions[axis] + (distance if positions[axis] < 0 else -distance)
        answer = panel.post("/api/move", {"controller": 0, "axis": axis, "position": target, "speed": 20},
                            token, session)
        assert answer["ok"], answer


def measure_cpu(program, seconds):
    start_cpu, start = program.cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    return 100.0 * (program.cpu_seconds() - start_cpu) / (time.monotonic() - start)


def test_figures_update_rate_latency_and_cpu(browser, panel):
    open_page(browser, panel)
    wait_until(lambda: all_still(panel), 10, "all axes at rest")
    six_axes_moving(browser, panel)
    time.sleep(0.5)
    frames0, t0 = js(browser, "return [window.panel.frames, Date.now()]")
    cpu_with_sim = measure_cpu(panel, 5.0)
    frames1, t1 = js(browser, "return [window.panel.frames, Date.now()]")
    rate = (frames1 - frames0) * 1000.0 / (t1 - t0)

    samples = js(browser, "return window.panel.samples.filter((s) => s[0] >= arguments[0] && s[1] === 0)", t0)
    lines = panel.lines()
    sent = {}
    for _, wall, direction, garbage, text in lines:
        values = status_values(text) if direction == ">" and not garbage else None
        if values and values[0] not in sent:
            sent[values[0]] = wall
    latencies = []
    previous = None
    for arrival, _, *positions in samples:
        count = count_of(positions[0])
        if count == previous:
            continue  # the same value again: only its first showing counts
        previous = count
        if count in sent:
            latencies.append(arrival - sent[count])
    browser.find_element(By.ID, "stop-all").click()
    wait_until(lambda: all_still(panel), 5, "stop all")
    assert len(latencies) > 50, f"only {len(latencies)} matched samples"
    latencies.sort()
    median = statistics.median(latencies)
    p99 = latencies[min(len(latencies) - 1, int(round(0.99 * (len(latencies) - 1))))]
    FIGURES["updates per second in the page"] = round(rate, 1)
    FIGURES["status line to page, median (ms)"] = round(median, 1)
    FIGURES["status line to page, p99 (ms)"] = round(p99, 1)
    FIGURES["status line to page, samples"] = len(latencies)
    FIGURES["CPU of orvane-panel --sim, one page, six axes moving (% of a core)"] = round(cpu_with_sim, 1)

    # The panel alone, with the simulator in a process of its own.
    sim = Program([SIM, "--bind", "127.0.0.1", "--port", "0"])
    port = sim.wait_for(r"listening on 127\.0\.0\.1:(\d+)").group(1)
    alone = PanelProgram("--host", f"127.0.0.1:{port}")
    try:
        open_page(browser, alone)
        wait_until(lambda: alone.get("/api/state")["controllers"][0]["ready"], 5, "the controller")
        six_axes_moving(browser, alone)
        time.sleep(0.5)
        sim_cpu0 = sim.cpu_seconds()
        cpu_alone = measure_cpu(alone, 5.0)
        sim_cpu = 100.0 * (sim.cpu_seconds() - sim_cpu0) / 5.0
        browser.find_element(By.ID, "stop-all").click()
        FIGURES["CPU of orvane-panel alone, one page, six axes moving (% of a core)"] = round(cpu_alone, 1)
        FIGURES["CPU of orvane-sim meanwhile (% of a core)"] = round(sim_cpu, 1)
    finally:
        browser.get("about:blank")
        assert alone.stop() == 0
        sim.stop()

    with open(os.path.join(OUT, "panel-figures.txt"), "w") as out:
        for key, value in FIGURES.items():
            out.write(f"{key}: {value}\n")
    print("\npanel figures:")
    for key, value in FIGURES.items():
        print(f"  {key}: {value}")
    assert rate >= 20
    assert median < 100


def test_sigint_stops_what_the_panel_set_moving():
    """No browser: a page's stream is opened by hand, a move started, and
    the panel interrupted. The simulator, in a process of its own, traces
    what it received."""
    sim = Program([SIM, "--bind", "127.0.0.1", "--port", "0", "--trace", "-"])
    port = sim.wait_for(r"listening on 127\.0\.0\.1:(\d+)").group(1)
    own = PanelProgram("--host", f"127.0.0.1:{port}")
    try:
        with urllib.request.urlopen(own.url, timeout=5) as response:
            token = re.search(r'name="panel-token" content="([0-9a-f]+)"', response.read().decode()).group(1)
        session = "sigint0123456789abcdef"
        stream = urllib.request.urlopen(own.url + "api/events?session=" + session, timeout=10)
        stream.read(64)  # the stream is open
        wait_until(lambda: own.get("/api/state")["controllers"][0]["ready"], 5, "the controller")
        assert own.post("/api/claim", {}, token, session)["ok"]
        assert own.post("/api/move", {"axis": 3, "position": 800, "speed": 20}, token, session)["ok"]
        sim.wait_for(r"< 160:3,20\.0,800\.000000!", 3)
        own.proc.send_signal(signal.SIGINT)
        assert own.proc.wait(timeout=10) == 0
        stream.close()
        sim.wait_for(r"< 140:3,0!", 3)
        assert "stopped axis 3 of 127.0.0.1:" in "".join(own.output)
        assert "SIGINT" in "".join(own.output)
    finally:
        own.stop()
        sim.stop()
