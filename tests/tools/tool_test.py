"""The orvane tool and the demonstration, run as a user runs them (loopback only), under pytest;
the programs come from ORVANE_TEST_TOOL, _SIM, _DEMO, the sources from _SOURCE (tests/tools/CMakeLists.txt)."""

import fcntl, json, os, pty, re, shlex, signal, socket, subprocess, termios, threading, time
import pytest

TOOL, SIM, DEMO, SOURCE, PREFIX = (os.environ.get("ORVANE_TEST_" + name, "") for name in
                                   ("TOOL", "SIM", "DEMO", "SOURCE", "PREFIX"))
CTRL_C = b"\x03"
RUNNING = []


@pytest.fixture(autouse=True)
def kill_what_a_test_started():
    yield
    for program in RUNNING:
        program.proc.kill()


def tool_env(extra=None):
    return {**{k: v for k, v in os.environ.items() if k not in ("ORVANE_HOST", "ORVANE_PORT")}, **(extra or {})}


def expect(args, rc, env=None, out=None, err=None):
    started = time.monotonic()
    p = subprocess.run([TOOL] + args, capture_output=True, text=True, env=tool_env(env), timeout=60,
                       stdin=subprocess.DEVNULL)
    p.seconds = time.monotonic() - started
    what = "orvane " + shlex.join(args)
    print("$ %s\nexit %s after %.2f s\n--- stdout\n%s--- stderr\n%s" % (what, p.returncode, p.seconds, p.stdout, p.stderr))
    assert p.returncode == rc, "%s: exit %s, expected %s" % (what, p.returncode, rc)
    assert out is None or re.search(out, p.stdout), "%s: stdout lacks /%s/" % (what, out)
    assert err is None or re.search(err, p.stderr), "%s: stderr lacks /%s/" % (what, err)
    return p


def json_of(args, env=None):
    return json.loads(expect(args, 0, env=env).stdout)


class Running:
    """A program running with its output collected: on a pseudo-terminal of its own (its controlling
    terminal: Ctrl-C written there is SIGINT as from a keyboard), or on a pipe for stdout and stderr."""

    def __init__(self, args, env=None, terminal=False, program=None):
        command, self.output = [program or TOOL] + args, b""
        if terminal:
            self.fd, slave = pty.openpty()
            self.proc = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave, env=tool_env(env),
                                         preexec_fn=lambda: (os.setsid(), fcntl.ioctl(0, termios.TIOCSCTTY, 0)))
            os.close(slave)
        else:
            self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, env=tool_env(env))
            self.fd = self.proc.stdout.fileno()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        RUNNING.append(self)
        print("$ %s%s" % (shlex.join(command), "   (on a terminal)" if terminal else ""))

    def _read(self):
        try:
            while data := os.read(self.fd, 4096):
                self.output += data  # rebinds at once: text() sees the old or the new bytes
        except OSError:  # a terminal whose program ended
            pass

    def text(self):
        return self.output.decode("utf-8", "replace")

    def wait_for(self, pattern, seconds=20):
        deadline = time.monotonic() + seconds
        while True:
            ended = not self.reader.is_alive()
            match = re.search(pattern, self.text())
            if match or ended or time.monotonic() > deadline:
                break
            time.sleep(0.02)
        assert match, "never showed /%s/:\n%s" % (pattern, self.text())
        return match

    def stop(self, how):
        os.write(self.fd, how) if isinstance(how, bytes) else self.proc.send_signal(how)

    def finish(self, seconds=20):
        rc = self.proc.wait(timeout=seconds)
        self.reader.join(2)
        print("exit %s; it showed:\n%s" % (rc, self.text()[-3000:]))
        return rc


class Sim(Running):
    """orvane-sim on a loopback address, on a free port unless one is given."""

    def __init__(self, bind="127.0.0.1", port=0, extra=()):
        super().__init__(["--bind", bind, "--port", str(port)] + list(extra), program=SIM)
        self.port = int(self.wait_for(r"listening on [0-9.]+:(\d+)").group(1))
        self.where = ["--host", bind, "--port", str(self.port)]

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


def axis_status(sim, number):
    return json_of(sim.where + ["status", "--json"])["axes"][number]


def standing_still(sim, number):
    """The axis reports standing and its position no longer changes."""
    first = axis_status(sim, number)
    time.sleep(0.3)  # a window to see motion in, not a wait for an event
    second = axis_status(sim, number)
    assert not first["moving"] and not second["moving"], "axis %d still reports moving" % number
    assert first["position"] == second["position"], "axis %d still moves: %s, %s" % (number, first, second)
    return second["position"]


def test_unreachable_or_silent_controller_exits_2():
    port = free_port()
    p = expect(["--host", "127.0.0.1", "--port", str(port), "--timeout", "10", "status"], 2,
               err="cannot reach the controller at 127.0.0.1:%d" % port)
    assert p.seconds < 3, "a refused connection took %.1f s (the time-out was 10 s)" % p.seconds
    sim = Sim(extra=["--silent"])  # connected, but it never reports: not ready
    p = expect(sim.where + ["--timeout", "1", "status"], 2, err="did not report its version")
    assert p.seconds < 5, "took %.1f s" % p.seconds


def test_host_and_port_forms():
    sim = Sim()
    doc = json_of(sim.where + ["status", "--json"])["controller"]
    assert doc["address"] == "127.0.0.1:%d" % sim.port and doc["ready"] and not doc["simulator"], str(doc)
    port = str(sim.port)
    expect(["--host", "localhost", "--port", port, "version"], 0, out="orvane-sim")
    if PREFIX == "127.0.0.":  # a host number on the build's controller network
        doc = json_of(["--host", "1", "--port", port, "status", "--json"])["controller"]
        assert doc["address"] == "127.0.0.1:%d" % sim.port, "host number 1: %s" % doc
    expect(["version"], 0, env={"ORVANE_HOST": "127.0.0.1", "ORVANE_PORT": port}, out="orvane-sim")
    expect(["version", "--host", "127.0.0.1", "--port", port], 0, out="orvane-sim")
    for host in ("1234", "256"):
        expect(["--host", host, "status"], 1, err="host number is 0..255")
    # The environment does not move the simulator of --sim.
    doc = json_of(["--sim", "status", "--json"], env={"ORVANE_HOST": "127.0.0.1", "ORVANE_PORT": str(free_port())})
    assert doc["controller"]["simulator"], "--sim with ORVANE_PORT set"


FLY = ["--sim", "fly", "start", "1", "0", "--setup", "0", "10", "20"]
COMMANDS = [  # arguments, exit code, stdout pattern, stderr pattern
    ([], 1, None, "a subcommand is required"),
    (["bogus"], 1, None, "unknown subcommand 'bogus'"),
    (["--frob", "status"], 1, None, "--frob"),
    (["move", "0", "abc"], 1, None, "abc"),
    (["move", "6", "10"], 1, None, "6"),
    (["fly"], 1, None, None),
    (["jog", "0", "up"], 1, None, None),
    (["--help"], 0, "Exit codes", None),
    (["move", "--help"], 0, "Examples", None),
    (["fly", "start", "--help"], 0, "--move", None),
    (["--version"], 0, "orvane tool", None),
    (["--sim", "move", "0", "20000"], 1, None, "outside axis 0's range"),
    (["--sim", "--sim-type", "1", "move", "4", "10"], 1, None, "axis 4 is out of range"),
    (["--sim", "move", "0", "10", "--speed", "0"], 1, None, "expected a number above 0, got '0'"),
    (["--sim", "--timeout", "1e400", "status"], 1, None, None),
    (["--sim", "move", "0", "12.5", "--speed", "50", "--wait"], 0,
     r"moving axis 0 to 12\.5 at speed 50\n(.*\n)*.*arrived at 12\.5\n", None),
    (["--sim", "params", "0"], 0, r"acc_time\s+0\.2\n", None),
    (["--sim", "raw", "hello"], 0, "answer: echo hello", None),
    (["--sim", "raw", "2000:1!", "--answer-timeout", "0"], 0, "not waiting", None),
    (["--sim", "raw", "2000:1!", "--answer-timeout", "0.5"], 3, None,
     r"a command \(such as \"2000:1!\"\) is carried out without an answer"),
    (FLY + ["--move", "50", "--speed", "50", "--wait", "3"], 0, r"10 captured positions\n", None),
    # A command of its own sees no earlier capture; waiting without --move times out.
    (["--sim", "fly", "positions", "--wait", "0.3"], 3, "0 captured positions", None),
    (FLY + ["--wait", "0.5"], 3, None, None),
]


@pytest.mark.parametrize("args, rc, out, err", COMMANDS)
def test_commands_and_exit_codes(args, rc, out, err):
    p = expect(args, rc, out=out, err=err)
    assert len(p.stderr) < 300 and not re.search(r"\d{20}", p.stdout + p.stderr), "an unreadable message"


JSON = [  # arguments after --sim, what the document must satisfy
    (["status"], lambda d: [len(d["axes"]), len(d["inputs"]), len(d["output_levels"])] == [6, 24, 24]
     and d["controller"]["version"] == "orvane-sim 0.1.0" and d["controller"]["simulator"]
     and re.fullmatch(r"127\.0\.0\.1:\d+", d["controller"]["address"]) and not d["controller"]["address"].endswith(":81")),
    (["--sim-type", "1", "status"], lambda d: d["controller"]["axes"] == 3 and len(d["axes"]) == 3),
    (["params", "2"], lambda d: d["axis"] == 2 and list(d["parameters"])[2] == "pulses_per_rev"
     and d["parameters"]["max_speed"] == 100 and d["parameters"]["acc_time"] == 0.2),
    (["levels"], lambda d: d == {"levels": [1] * 24}),
    (["in"], lambda d: d == {"inputs": [False] * 24, "on": []}),
    (["fly", "positions"], lambda d: d == {"count": 0, "positions": []}),
    (["version"], lambda d: d["controller"]["version"] == "orvane-sim 0.1.0"),
    (FLY[1:] + ["--move", "50", "--speed", "50", "--wait", "3"],
     lambda d: d["count"] == 10 and d["positions"] == sorted(d["positions"]) and d["positions"][-1] > 0),
]


def test_json_output():
    for args, valid in JSON:
        doc = json_of(["--sim"] + args + ["--json"])
        assert valid(doc), "orvane --sim %s --json: %s" % (" ".join(args), doc)
    sim = Sim(extra=["--input", "3=1"])
    doc = json_of(sim.where + ["in", "--json"])
    assert doc["on"] == [3] and doc["inputs"][2], "in with input 3 on: %s" % doc
    assert json_of(sim.where + ["in", "3", "--json"]) == {"input": 3, "on": True}, "in 3"
    lines = expect(["--sim", "watch", "--json", "--interval", "50", "--count", "3"], 0).stdout.splitlines()
    assert len(lines) == 3, "watch printed %d lines" % len(lines)
    for doc in map(json.loads, lines):
        assert doc["connected"] and len(doc["positions"]) == 6 and len(doc["inputs"]) == 24, "watch line %s" % doc


def test_parameters_by_name():
    names = ["p0", "p1", "pulses_per_rev", "p3", "p4", "axis_rotation", "p6", "p7", "p8", "use_encoder",
             "soft_limit_margin", "p11", "max_speed", "home_speed", "left_soft_limit", "right_soft_limit", "p16",
             "acc_time", "encoder_scale", "travel_per_rev", "p20"]
    shown = re.findall(r"^\s*\d+\s+(\w+)\s+\S+$", expect(["--sim", "params", "0"], 0).stdout, re.M)
    assert shown == names, "the fields are not named in record order: %s" % shown
    sim = Sim()
    params = sim.where + ["params", "1"]
    before = json_of(params + ["--json"])["parameters"]
    expect(params + ["--set", "max_speed=200", "acc_time=0.1,p3=7"], 0, out=r"max_speed 100 -> 200")
    after = json_of(params + ["--json"])["parameters"]  # read back over a new connection
    assert after == dict(before, max_speed=200, acc_time=0.1, p3=7), "set %s over %s" % (after, before)
    expect(params + ["--set", "acc_time=fast"], 1, err=r"acc_time \(field 17\) must be a number")
    expect(params + ["--set", "pulses_per_rev=2.5"], 1, err=r"pulses_per_rev \(field 2\) must be a whole number")
    expect(params + ["--set", "speed=3"], 1, err="NAME one of: p0, p1, pulses_per_rev")
    assert json_of(params + ["--json"])["parameters"] == after, "a refused --set changed the record"


@pytest.mark.parametrize("args, shown, how, rc, told, axes, before, after", [
    (["move", "0", "1000", "--speed", "20", "--wait"], r"axis 0 [1-9]", CTRL_C, 130,
     r"Ctrl-C: stopped axis 0 at [0-9.]+ before it reached 1000", [0], None, lambda sim, at: at[0] < 1000),
    (["xyz", "500", "400", "300", "--speed", "20", "--wait"], r"axis 0 [1-9]", signal.SIGTERM, 130,
     r"SIGTERM: stopped axes 0, 1 and 2 at", [0, 1, 2], None, None),
    (["home", "0", "--speed", "10", "--wait"], r"axis 0 at 2[0-9][0-9]\.", CTRL_C, 130, "Ctrl-C: stopped axis 0", [0],
     ["move", "0", "300", "--speed", "100", "--wait"], lambda sim, at: at[0] > 100 and not axis_status(sim, 0)["homed"]),
    # Ctrl-C is how a jog without --for ends: exit 0.
    (["jog", "1", "-", "--speed", "20"], r"axis 1 at -[1-9]", CTRL_C, 0, r"Ctrl-C: stopped axis 1 at -", [1], None, None),
    (["jog", "2", "+", "--speed", "20"], r"axis 2 at [1-9]", signal.SIGHUP, None, None, [2], None, None),
], ids=["ctrl_c_move", "sigterm_xyz", "ctrl_c_home", "ctrl_c_jog", "sighup_jog"])
def test_stopping_the_tool_stops_the_axes(args, shown, how, rc, told, axes, before, after):
    sim = Sim()
    if before:
        expect(sim.where + before, 0)
    term = Running(sim.where + args, terminal=True)
    term.wait_for(shown)
    term.stop(how)
    got = term.finish()
    assert rc is None or got == rc
    assert told is None or re.search(told, term.text()), "not told /%s/" % told
    positions = [standing_still(sim, number) for number in axes]
    assert after is None or after(sim, positions), "the axes went on to %s" % positions


def test_timed_motion_stops():
    sim = Sim()
    p = expect(sim.where + ["move", "0", "1000", "--wait", "--wait-timeout", "0.5"], 3,
               err=r"did not reach 1000 within 0\.5 s and was still moving.*stopped axis 0 at")
    assert "--wait-timeout allows longer" in p.stderr, "no hint"
    assert standing_still(sim, 0) < 1000, "axis 0 went on"
    expect(sim.where + ["jog", "1", "+", "--speed", "20", "--for", "0.5"], 0, out=r"stopped axis 1 at [0-9.]+")
    assert standing_still(sim, 1) > 1, "axis 1 did not move"


def test_watch_rides_out_a_link_drop():
    port = free_port()
    sim = Sim(port=port)
    where = ["--host", "127.0.0.1", "--port", str(port), "watch", "--json"]
    watch = Running(where + ["--interval", "50"])
    watch.wait_for(r'"connected":true')
    sim.close()
    watch.wait_for(r'"connected":false')
    sim = Sim(port=port)
    watch.wait_for(r'"connected":false[^\0]*"connected":true')  # the library reconnected
    watch.stop(signal.SIGTERM)
    assert watch.finish() == 0, "exit after a recovered drop, expected 0"
    # Down when it ends: exit 2.
    watch = Running(where)
    watch.wait_for(r'"connected":true')
    sim.close()
    watch.wait_for(r'"connected":false')
    watch.stop(signal.SIGTERM)
    assert watch.finish() == 2 and "down when the watch ended" in watch.text(), "exit with the link down"


def test_watch_restores_the_cursor_on_sigterm():
    term = Running(["--sim", "watch", "--interval", "50"], terminal=True)
    term.wait_for(r"connected.*Ctrl-C ends")
    assert "\x1b[?25l" in term.text(), "the cursor was not hidden"
    term.stop(signal.SIGTERM)
    assert term.finish() == 0, "exit after SIGTERM, expected 0"
    text = term.text()
    assert text.rfind("\x1b[?25h") > text.rfind("\x1b[?25l"), "the cursor was not shown again"


def run_examples(lines):
    """Runs `orvane ...` lines against orvane-sim: ORVANE_HOST/PORT's, or one on the address a line names.

    A port that a line names is replaced by a free one, so that examples never
    meet other tests (or programs) on a well-known port."""
    sims = {}
    default = sims[("127.0.0.1", 0)] = Sim()
    defaults = {"ORVANE_HOST": "127.0.0.1", "ORVANE_PORT": str(default.port)}
    for where, line in lines:
        print("---- %s: %s" % (where, line))
        words = shlex.split(line)
        env = {} if "--sim" in words else dict(defaults)
        while words and re.match(r"^[A-Z_]+=", words[0]):
            env.update([words.pop(0).split("=", 1)])
        assert words[:1] == ["orvane"], "not an orvane command: %s" % line
        args = words[1:]
        if "--sim" not in args:
            host, port = env["ORVANE_HOST"], int(env["ORVANE_PORT"])
            if "--host" in args:
                host = args[args.index("--host") + 1]
                host = PREFIX + host if host.isdigit() else host
            assert host.startswith("127."), "an example names a controller off this machine: %s" % host
            at = args.index("--port") + 1 if "--port" in args else None
            if at is not None:
                port = int(args[at])
            if (host, port) != ("127.0.0.1", default.port):
                if (host, port) not in sims:
                    sims[(host, port)] = Sim(bind=host)
                if at is not None:
                    args[at] = str(sims[(host, port)].port)
                else:
                    env["ORVANE_PORT"] = str(sims[(host, port)].port)
        endless = ("watch" in args and "--count" not in args) or ("jog" in args and "--for" not in args) or \
            "panel" in args
        if not endless:
            expect(args, 0, env=env)
            continue
        # A view or a jog runs until Ctrl-C: once it shows something, send it.
        view = Running(args, env=env)
        view.wait_for("Ctrl-C stops it" if "panel" in args else r"\S")
        view.stop(signal.SIGINT)
        assert view.finish() == 0, "the example `%s` failed after Ctrl-C" % line


def test_documented_examples_work():
    """Every `orvane ...` line of the sh blocks in the pages about the tool."""
    lines = []
    for page in ("README.md", "docs/getting-started.md", "docs/tool.md"):
        in_block = False
        with open(os.path.join(SOURCE, page), encoding="utf-8") as f:
            for text in f:
                if text.startswith("```"):
                    in_block = text.strip() == "```sh"
                    continue
                command = re.sub(r"\s+#.*$", "", text).strip()
                if in_block and re.match(r"^([A-Z_]+=\S+\s+)*orvane\s", command):
                    lines.append((page, command))
    assert len(lines) >= 30, "only %d examples found in the docs" % len(lines)
    run_examples(lines)


def test_help_examples_work():
    lines = []
    for path in [[]] + [[name] for name in ("status", "watch", "move", "xyz", "home", "jog", "stop", "zero", "out",
                                            "in", "params", "levels", "raw", "version", "fly")] + \
            [["fly", name] for name in ("setup", "start", "trim", "positions")]:
        found = re.findall(r"^  ((?:[A-Z_]+=\S+ )*orvane .*)$", expect(path + ["--help"], 0).stdout, re.M)
        assert found or path in ([], ["fly"]), "`orvane %s --help` shows no example" % " ".join(path)
        lines += [("--help", line) for line in found]
    assert any('raw "2000:1!"' in line for _, line in lines), "the raw example is missing"
    run_examples(lines)


def test_demonstration(tmp_path):
    proc = subprocess.run([DEMO, "--out", tmp_path], capture_output=True, timeout=120, stdin=subprocess.DEVNULL)
    text = proc.stdout.decode("utf-8", "strict")  # no GBK bytes
    print(text, proc.stderr.decode("utf-8", "replace"))
    assert proc.returncode == 0 and "10 of 10 steps succeeded" in text, "not every step succeeded"
    assert "library info:" in text, "the library's messages are not in the narration"
    assert re.search(r"listening on 127\.0\.0\.1:\d+", text), "the simulator is not on a loopback port"

    rows = [line.split(",") for line in (tmp_path / "xyz-move.csv").read_text().splitlines()[1:]]
    times = [float(row[0]) for row in rows]
    assert times[0] == 0 and all(b > a for a, b in zip(times, times[1:])), "sample times do not increase"
    steps = sorted(b - a for a, b in zip(times, times[1:]))
    median = steps[len(steps) // 2]
    assert 0.007 <= median <= 0.013, "samples are %.4f s apart, not one per status line (10 ms)" % median
    moving = [tuple(row[1:]) for row in rows if row[1] not in (rows[0][1], rows[-1][1])]
    assert len(moving) == len(set(moving)), "samples repeat a status line during the motion"

    svg = (tmp_path / "xyz-move.svg").read_text()
    right = int(re.search(r'<svg[^>]* width="(\d+)"', svg).group(1)) - 30.0  # plot's right edge (svg_plot.cpp)
    xs = [float(x) for points in re.findall(r'<polyline[^>]*points="([^"]*)"', svg)
          for x in re.findall(r"([0-9.]+),[0-9.]+", points)]
    assert abs(max(xs) - right) < 0.5, "the time axis goes past the data: %.1f vs %.1f" % (max(xs), right)
