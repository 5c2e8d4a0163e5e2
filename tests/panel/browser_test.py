"""The panel's page in headless Chromium (Selenium) against `orvane-panel --sim` on loopback; run by
run_browser_tests.py, which passes ORVANE_PANEL_BIN, ORVANE_SIM_BIN and ORVANE_PANEL_OUT. Times are on
the wall clock: the panel stamps its simulator's protocol lines, the page stamps what it shows."""
import json, os, queue, re, signal, statistics, subprocess, tempfile, threading, time, urllib.request

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By

PANEL = os.environ.get("ORVANE_PANEL_BIN", "orvane-panel")
SIM = os.environ.get("ORVANE_SIM_BIN", "orvane-sim")
OUT = os.environ.get("ORVANE_PANEL_OUT", tempfile.gettempdir())


class Program:

    def __init__(self, *args):
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)
        self.queue, self.output = queue.Queue(), []
        threading.Thread(target=lambda: [(self.output.append(l), self.queue.put(l)) for l in self.proc.stdout],
                         daemon=True).start()

    def wait_for(self, pattern, timeout=10.0):
        deadline = time.monotonic() + timeout
        try:
            while not (match := re.search(pattern, self.queue.get(timeout=max(0.01, deadline - time.monotonic())))):
                pass
            return match
        except queue.Empty:
            raise AssertionError(f"{pattern!r} not seen in: {''.join(self.output)}") from None

    def stop(self):
        self.proc.terminate()
        return self.proc.wait(timeout=10)

    def cpu_seconds(self):
        fields = open(f"/proc/{self.proc.pid}/stat").read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


class PanelProgram(Program):
    def __init__(self, *args):
        super().__init__(PANEL, *args)
        self.url = self.wait_for(r"serving (http://127\.0\.0\.1:\d+/)").group(1)

    def get(self, path):
        with urllib.request.urlopen(self.url.rstrip("/") + path, timeout=5) as response:
            return json.loads(response.read())

    def post(self, path, body, token, session):
        request = urllib.request.Request(self.url.rstrip("/") + path, data=json.dumps(body).encode(), headers={
            "Content-Type": "application/json", "X-Panel-Token": token, "X-Panel-Session": session})
        with urllib.request.urlopen(request, timeout=5) as response:
            return json.loads(response.read())

    def state(self):
        return self.get("/api/state")["controllers"][0]

    def lines(self):
        return self.get("/api/lines?controller=0&since=0")["lines"]


def status_values(text):
    return [int(v) for v in text[4:].split(",")] if text.startswith("100:") else None


def still(values, axis):
    return bool((values[12] if axis < 4 else values[13]) >> (2 * (axis % 4)) & 1)


def first_sent_status(lines, after_ms, predicate):
    return next((wall for _, wall, direction, garbage, text in lines if direction == ">" and not garbage
                 and wall >= after_ms and status_values(text) and predicate(status_values(text))), None)


@pytest.fixture(scope="module")
def panel():
    program = PanelProgram("--sim")
    yield program
    assert program.stop() == 0 and "orvane panel: stopped" in "".join(program.output), "".join(program.output)


@pytest.fixture
def browser():
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--no-first-run",
                "--user-data-dir=" + tempfile.mkdtemp(prefix="orvane-panel-chromium-"), "--window-size=1440,1250"):
        options.add_argument(arg)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()


def wait_until(condition, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.02)
    return value


def js(driver, script, *args):
    return driver.execute_script(script, *args)


def open_page(driver, panel):
    """Loads the panel; once all axes rest, returns with this page holding the controls."""
    driver.get(panel.url)
    wait_until(lambda: js(driver, "return window.panel && window.panel.you === true"), 8, "the page to hold the controls")
    wait_until(lambda: all(panel.state()["rest"] or [False]), 10, "all axes at rest")


def type_into(driver, element_id, value):
    element = driver.find_element(By.ID, element_id)
    element.clear()
    element.send_keys(str(value))


def screenshot(driver, name):
    height = js(driver, "return document.documentElement.scrollHeight")
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": 1440, "height": height, "deviceScaleFactor": 1, "mobile": False})
    driver.save_screenshot(os.path.join(OUT, name))
    driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def test_page_loads_without_errors_and_shows_the_controller(browser, panel):
    open_page(browser, panel)
    wait_until(lambda: browser.find_element(By.ID, "info-version").text == "orvane-sim 0.1.0", 5, "the version")
    assert browser.find_element(By.ID, "info-link").text == "connected, ready"
    assert browser.find_element(By.ID, "info-type").text.startswith("2")
    assert len(browser.find_elements(By.CSS_SELECTOR, "#axes-body tr")) == 6
    assert browser.find_element(By.ID, "sim-card").is_displayed()
    assert [e for e in browser.get_log("browser") if e["level"] == "SEVERE"] == []
    screenshot(browser, "panel-at-rest.png")


def test_move_arrival_shows_within_500_ms_of_the_simulator(browser, panel):
    open_page(browser, panel)
    target = round(panel.state()["pos"][0] + 20.0, 3)
    type_into(browser, "axis-0-speed", 50)
    type_into(browser, "axis-0-target", target)
    clicked = js(browser, "return Date.now()")
    browser.find_element(By.ID, "axis-0-move").click()
    arrival = wait_until(lambda: js(browser, """
        return window.panel.arrivals.find((a) => a.controller === 0 && a.axis === 0 && a.time > arguments[0]
                                              && Math.abs(a.position - arguments[1]) < 1e-6) || null;""",
                                    clicked, target), 10, "the page to show the arrival")
    assert browser.find_element(By.ID, "axis-0-pos").text == f"{target:.3f}"
    assert browser.find_element(By.ID, "axis-0-state").text == "at rest"
    sim_arrival = first_sent_status(panel.lines(), clicked, lambda v: v[0] == round(target * 1000) and still(v, 0))
    assert sim_arrival is not None, "the simulator's arrival was not found among its status lines"
    assert -5 <= arrival["time"] - sim_arrival <= 500, f"shown {arrival['time'] - sim_arrival:.1f} ms later"


def test_clicking_input_7_in_the_simulator_part_is_reported_by_the_library(browser, panel):
    open_page(browser, panel)
    assert panel.state()["inputs"] == "0" * 24
    browser.find_element(By.ID, "sim-input-7").click()
    wait_until(lambda: panel.state()["inputs"] == "000000100000000000000000", 3, "the library to report input 7")
    wait_until(lambda: "on" in browser.find_element(By.ID, "input-7").get_attribute("class"), 2, "input 7 shown on")
    assert "on" in browser.find_element(By.ID, "sim-input-7").get_attribute("class")
    browser.find_element(By.ID, "sim-input-7").click()
    wait_until(lambda: panel.state()["inputs"][6] == "0", 3, "the library to report input 7 off")


def test_releasing_the_jog_button_stops_the_axis_within_300_ms(browser, panel):
    open_page(browser, panel)
    type_into(browser, "axis-1-speed", 20)
    before = panel.state()["pos"][1]
    ActionChains(browser).click_and_hold(browser.find_element(By.ID, "axis-1-jog-plus")).perform()
    wait_until(lambda: panel.state()["pos"][1] > before + 10, 5, "the held jog to move axis 1")
    ActionChains(browser).release().perform()
    release = wait_until(lambda: js(browser, """
        return window.panel.events.filter((e) => e.type === 'jog-release' && e.axis === 1).pop() || null;"""),
                         2, "the page to see the release")
    assert release["reason"] == "released"
    wait_until(lambda: all(panel.state()["rest"]), 3, "axis 1 to stand still")
    stood = first_sent_status(panel.lines(), release["time"], lambda v: still(v, 1))
    assert stood - release["time"] <= 300, f"axis 1 stood still {stood - release['time']:.1f} ms after the release"


def test_closing_the_tab_while_jogging_stops_the_axis(browser, panel):
    open_page(browser, panel)
    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    browser.get(panel.url)
    # The second page is told that another one holds the controls, and takes them over explicitly.
    wait_until(lambda: browser.find_element(By.ID, "holder-banner").is_displayed(), 5, "the holder banner")
    assert "Another page holds the controls" in browser.find_element(By.ID, "holder-banner").text
    assert not browser.find_element(By.ID, "axis-2-move").is_enabled()
    browser.find_element(By.ID, "take-over").click()
    wait_until(lambda: browser.find_element(By.ID, "axis-2-jog-plus").is_enabled(), 3, "the take-over")
    ActionChains(browser).click_and_hold(browser.find_element(By.ID, "axis-2-jog-plus")).perform()
    wait_until(lambda: panel.state()["rest"][2] is False, 2, "axis 2 to jog")
    closed = time.time() * 1000
    browser.close()
    browser.switch_to.window(first)
    wait_until(lambda: panel.state()["rest"][2] is True, 3, "axis 2 to stand still after its tab was closed")
    stood = first_sent_status(panel.lines(), closed, lambda v: still(v, 2))
    assert stood - closed <= 1000, f"axis 2 stood still {stood - closed:.1f} ms after its tab closed"


def test_update_rate_latency_and_stop_all(browser, panel):
    open_page(browser, panel)
    token = js(browser, "return document.querySelector('meta[name=\"panel-token\"]').content")
    session = js(browser, "return window.panel.session")
    for axis, position in enumerate(panel.state()["pos"]):  # all six moving
        body = {"controller": 0, "axis": axis, "position": position + (400 if position < 0 else -400), "speed": 20}
        assert panel.post("/api/move", body, token, session)["ok"]
    wait_until(lambda: not any(panel.state()["rest"]), 3, "all axes to move")
    screenshot(browser, "panel-moving.png")
    frames0, t0 = js(browser, "return [window.panel.frames, Date.now()]")
    cpu0, started = panel.cpu_seconds(), time.monotonic()
    time.sleep(5.0)  # the window measured
    cpu = 100.0 * (panel.cpu_seconds() - cpu0) / (time.monotonic() - started)
    frames1, t1 = js(browser, "return [window.panel.frames, Date.now()]")
    rate = (frames1 - frames0) * 1000.0 / (t1 - t0)
    # From each status line sent to the first showing of its axis 0 value in the page.
    statuses = [(status_values(t)[0], wall) for _, wall, d, garbage, t in panel.lines() if d == ">" and not garbage
                and t.startswith("100:")]
    sent = {count: wall for count, wall in reversed(statuses)}  # the first line with each count
    latencies, previous = [], None
    for arrival, _, position, *_ in js(browser, "return window.panel.samples.filter((s) => s[0] >= arguments[0] "
                                                "&& s[1] === 0)", t0):
        count = round(position * 1000)
        if count != previous and count in sent:
            latencies.append(arrival - sent[count])
        previous = count
    browser.find_element(By.ID, "stop-all").click()
    wait_until(lambda: all(panel.state()["rest"]), 5, "stop all to stop every axis")
    assert len(latencies) > 50, f"only {len(latencies)} matched samples"
    figures = {"updates per second in the page": round(rate, 1),
               "status line to page, median (ms)": round(statistics.median(latencies), 1),
               "status line to page, p99 (ms)": round(statistics.quantiles(latencies, n=100)[98], 1),
               "CPU of orvane-panel --sim, one page, six axes moving (% of a core)": round(cpu, 1)}
    open(os.path.join(OUT, "panel-figures.txt"), "w").writelines(f"{key}: {value}\n" for key, value in figures.items())
    print("\npanel figures:", figures)
    assert rate >= 20 and statistics.median(latencies) < 100


def test_sigint_stops_what_the_panel_set_moving():
    """No browser: a page's stream opened by hand, a move, SIGINT; a simulator of its own traces what it got."""
    sim = Program(SIM, "--bind", "127.0.0.1", "--port", "0", "--trace", "-")
    own = PanelProgram("--host", "127.0.0.1:" + sim.wait_for(r"listening on 127\.0\.0\.1:(\d+)").group(1))
    try:
        with urllib.request.urlopen(own.url, timeout=5) as response:
            token = re.search(r'name="panel-token" content="([0-9a-f]+)"', response.read().decode()).group(1)
        session = "sigint0123456789abcdef"
        stream = urllib.request.urlopen(own.url + "api/events?session=" + session, timeout=10)
        stream.read(64)  # the stream is open
        wait_until(lambda: own.state()["ready"], 5, "the controller")
        assert own.post("/api/claim", {}, token, session)["ok"]
        assert own.post("/api/move", {"axis": 3, "position": 800, "speed": 20}, token, session)["ok"]
        sim.wait_for(r"< 160:3,20\.0,800\.000000!", 3)
        own.proc.send_signal(signal.SIGINT)
        assert own.proc.wait(timeout=10) == 0
        stream.close()
        sim.wait_for(r"< 140:3,0!", 3)
        assert "stopped axis 3 of 127.0.0.1:" in "".join(own.output) and "SIGINT" in "".join(own.output)
    finally:
        own.stop()
        sim.stop()
