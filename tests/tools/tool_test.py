#!/usr/bin/env python3
"""Tests of the orvane command-line tool and the demonstration.

Each case runs the built programs as a user would: the tool against the
simulator in its own process (--sim) or against orvane-sim on a free
loopback port, under a pseudo-terminal where Ctrl-C or the cursor matter,
and the demonstration. Everything listens and connects on 127.0.0.0/8 only.

    tool_test.py --list
    tool_test.py --tool PATH --sim PATH --demo PATH --source DIR --prefix P CASE

Exit status 0 when the case passed, 77 when it was skipped, 1 otherwise.
"""

import argparse
import fcntl
import json
import os
import pty
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time

ARGS = None
CASES = {}
SKIP = 77


def case(function):
    CASES[function.__name__] = function
    return function


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# ---- Running things ---------------------------------------------------------


class Result:
    def __init__(self, rc, out, err, seconds):
        self.rc, self.out, self.err, self.seconds = rc, out, err, seconds

    def __str__(self):
        return "exit %s after %.2f s\n--- stdout\n%s--- stderr\n%s" % (self.rc, self.seconds, self.out, self.err)


def tool_env(extra=None):
    env = dict(os.environ)
    for name in ("ORVANE_HOST", "ORVANE_PORT"):
        env.pop(name, None)
    if extra:
        env.update(extra)
    return env


def run(args, env=None, timeout=60):
    """Runs the tool with a pipe for its output."""
    started = time.monotonic()
    proc = subprocess.run([ARGS.tool] + args, capture_output=True, text=True, env=tool_env(env), timeout=timeout,
                          stdin=subprocess.DEVNULL)
    result = Result(proc.returncode, proc.stdout, proc.stderr, time.monotonic() - started)
    print("$ orvane %s\n%s" % (shlex.join(args), result))
    return result


def expect(args, rc, env=None, out=None, err=None, timeout=60):
    result = run(args, env=env, timeout=timeout)
    check(result.rc == rc, "orvane %s: exit %s, expected %s" % (shlex.join(args), result.rc, rc))
    if out is not None:
        check(re.search(out, result.out), "orvane %s: stdout lacks /%s/" % (shlex.join(args), out))
    if err is not None:
        check(re.search(err, result.err), "orvane %s: stderr lacks /%s/" % (shlex.join(args), err))
    return result


class Terminal:
    """The tool on a pseudo-terminal of its own (its controlling terminal), so
    that writing Ctrl-C to the terminal sends SIGINT as a keyboard does."""

    def __init__(self, args, env=None):
        master, slave = pty.openpty()
        self.master = master
        self.output = b""
        self.lock = threading.Lock()

        def become_session_leader():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.proc = subprocess.Popen([ARGS.tool] + args, stdin=slave, stdout=slave, stderr=slave,
                                     env=tool_env(env), preexec_fn=become_session_leader, close_fds=True)
        os.close(slave)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        print("$ orvane %s   (on a terminal)" % shlex.join(args))

    def _read(self):
        while True:
            try:
                ready, _, _ = select.select([self.master], [], [], 0.1)
                if ready:
                    data = os.read(self.master, 4096)
                    if not data:
                        return
                    with self.lock:
                        self.output += data
                elif self.proc.poll() is not None:
                    return
            except OSError:
                return

    def text(self):
        with self.lock:
            return self.output.decode("utf-8", "replace")

    def wait_for(self, pattern, seconds=20):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if re.search(pattern, self.text()):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        raise Failure("the terminal never showed /%s/:\n%s" % (pattern, self.text()))

    def key(self, data):
        os.write(self.master, data)

    def finish(self, seconds=20):
        try:
            rc = self.proc.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure("the tool did not end within %s s:\n%s" % (seconds, self.text()))
        self.reader.join(2)
        os.close(self.master)
        print("exit %s; the terminal showed:\n%s" % (rc, self.text()))
        return rc


class Sim:
    """orvane-sim on a loopback address, on a free port unless one is given."""

    def __init__(self, bind="127.0.0.1", port=0, extra=()):
        self.bind = bind
        self.proc = subprocess.Popen([ARGS.sim, "--bind", bind, "--port", str(port)] + list(extra),
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     stdin=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        match = re.search(r"listening on ([0-9.]+):(\d+)", line)
        if not match:
            self.proc.kill()
            raise Failure("orvane-sim did not start on %s:%s: %s%s" % (bind, port, line, self.proc.stdout.read()))
        self.port = int(match.group(2))
        self.where = ["--host", bind, "--port", str(self.port)]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status(sim):
    result = expect(sim.where + ["status", "--json"], 0)
    return json.loads(result.out)


def axis(doc, number):
    return doc["axes"][number]


def standing_still(sim, number):
    """The axis reports standing and its position no longer changes."""
    first = axis(status(sim), number)
    time.sleep(0.3)
    second = axis(status(sim), number)
    check(not first["moving"] and not second["moving"], "axis %d still reports moving" % number)
    check(first["position"] == second["position"],
          "axis %d still moves: %s then %s" % (number, first["position"], second["position"]))
    return second["position"]


# ---- Connection -------------------------------------------------------------


@case
def refused_connection_fails_at_once():
    port = free_port()
    result = expect(["--host", "127.0.0.1", "--port", str(port), "--timeout", "10", "status"], 2,
                    err="cannot reach the controller at 127.0.0.1:%d" % port)
    check(result.seconds < 3, "a refused connection took %.1f s (the time-out was 10 s)" % result.seconds)


@case
def host_and_port_forms():
    with Sim() as sim:
        doc = json.loads(expect(sim.where + ["status", "--json"], 0).out)
        check(doc["controller"]["address"] == "127.0.0.1:%d" % sim.port, "address %s" % doc["controller"]["address"])
        check(doc["controller"]["ready"] and not doc["controller"]["simulator"], "not ready or a simulator")
        # A host name, handed to the library as it is.
        expect(["--host", "localhost", "--port", str(sim.port), "version"], 0, out="orvane-sim")
        # A host number on the build's controller network.
        if ARGS.prefix == "127.0.0.":
            doc = json.loads(expect(["--host", "1", "--port", str(sim.port), "status", "--json"], 0).out)
            check(doc["controller"]["address"] == "127.0.0.1:%d" % sim.port, "host number 1")
        # The environment in place of the options, and options after the subcommand.
        expect(["version"], 0, env={"ORVANE_HOST": "127.0.0.1", "ORVANE_PORT": str(sim.port)}, out="orvane-sim")
        expect(["version", "--host", "127.0.0.1", "--port", str(sim.port)], 0, out="orvane-sim")
    expect(["--host", "1234", "status"], 1, err="host number is 0..255")
    expect(["--host", "256", "status"], 1, err="host number is 0..255")
    # The environment does not move the simulator of --sim.
    doc = json.loads(expect(["--sim", "status", "--json"], 0,
                            env={"ORVANE_HOST": "127.0.0.1", "ORVANE_PORT": str(free_port())}).out)
    check(doc["controller"]["simulator"], "--sim with ORVANE_PORT set")


@case
def sim_uses_a_free_loopback_port():
    doc = json.loads(expect(["--sim", "status", "--json"], 0).out)
    address = doc["controller"]["address"]
    check(doc["controller"]["simulator"] and address.startswith("127.0.0.1:"), "address %s" % address)
    check(not address.endswith(":81"), "the simulator took the privileged default port")
    doc = json.loads(expect(["--sim", "--sim-type", "1", "status", "--json"], 0).out)
    check(doc["controller"]["axes"] == 3 and len(doc["axes"]) == 3, "a three-axis simulator shows three axes")
    expect(["--sim", "--sim-type", "1", "move", "4", "10"], 1, err="axis 4 is out of range")


@case
def readiness_comes_from_the_library():
    # Connected, but the controller never reports: not ready, exit 2.
    with Sim(extra=["--silent"]) as sim:
        result = expect(sim.where + ["--timeout", "1", "status"], 2, err="did not report its version")
        check(result.seconds < 5, "took %.1f s" % result.seconds)


# ---- Exit codes and numbers ---------------------------------------------------


@case
def exit_codes():
    expect([], 1, err="a subcommand is required")
    expect(["bogus"], 1, err="unknown subcommand 'bogus'")
    expect(["--frob", "status"], 1, err="--frob")
    expect(["move", "0", "abc"], 1, err="abc")
    expect(["move", "6", "10"], 1, err="6")
    expect(["fly"], 1)
    expect(["jog", "0", "up"], 1)
    expect(["--help"], 0, out="Exit codes")
    expect(["move", "--help"], 0, out="Examples")
    expect(["fly", "start", "--help"], 0, out="--move")
    expect(["--version"], 0, out="orvane tool")
    expect(["--sim", "move", "0", "20000"], 1, err="outside axis 0's range")


@case
def numbers_are_readable():
    result = expect(["--sim", "move", "0", "10", "--speed", "0"], 1, err="expected a number above 0, got '0'")
    check(len(result.err) < 300 and not re.search(r"\d{20}", result.err), "an unreadable number: %s" % result.err)
    result = expect(["--sim", "--timeout", "1e400", "status"], 1)
    check(not re.search(r"\d{20}", result.err), "an unreadable number: %s" % result.err)
    result = expect(["--sim", "move", "0", "12.5", "--speed", "50", "--wait"], 0,
                    out=r"moving axis 0 to 12\.5 at speed 50\n")
    check("arrived at 12.5\n" in result.out, "the arrival is not told compactly")
    expect(["--sim", "params", "0"], 0, out=r"acc_time\s+0\.2\n")


# ---- JSON --------------------------------------------------------------------


@case
def json_output():
    doc = json.loads(expect(["--sim", "status", "--json"], 0).out)
    check(len(doc["axes"]) == 6 and len(doc["inputs"]) == 24 and len(doc["output_levels"]) == 24, "status")
    check(doc["controller"]["version"] == "orvane-sim 0.1.0", "status version")
    doc = json.loads(expect(["--sim", "params", "2", "--json"], 0).out)
    check(doc["axis"] == 2 and list(doc["parameters"])[2] == "pulses_per_rev", "params")
    check(doc["parameters"]["max_speed"] == 100 and doc["parameters"]["acc_time"] == 0.2, "params values")
    doc = json.loads(expect(["--sim", "levels", "--json"], 0).out)
    check(doc == {"levels": [1] * 24}, "levels")
    doc = json.loads(expect(["--sim", "in", "--json"], 0).out)
    check(doc == {"inputs": [False] * 24, "on": []}, "in")
    with Sim(extra=["--input", "3=1"]) as sim:
        doc = json.loads(expect(sim.where + ["in", "--json"], 0).out)
        check(doc["on"] == [3] and doc["inputs"][2], "in with input 3 on")
        doc = json.loads(expect(sim.where + ["in", "3", "--json"], 0).out)
        check(doc == {"input": 3, "on": True}, "in 3")
    doc = json.loads(expect(["--sim", "fly", "positions", "--json"], 0).out)
    check(doc == {"count": 0, "positions": []}, "fly positions")
    doc = json.loads(expect(["--sim", "version", "--json"], 0).out)
    check(doc["controller"]["version"] == "orvane-sim 0.1.0", "version")
    result = expect(["--sim", "watch", "--json", "--interval", "50", "--count", "3"], 0)
    lines = result.out.splitlines()
    check(len(lines) == 3, "watch printed %d lines" % len(lines))
    for line in lines:
        doc = json.loads(line)
        check(doc["connected"] and len(doc["positions"]) == 6 and len(doc["inputs"]) == 24, "watch line")


# ---- Parameters -----------------------------------------------------------


@case
def parameters_by_name():
    names = ["p0", "p1", "pulses_per_rev", "p3", "p4", "axis_rotation", "p6", "p7", "p8", "use_encoder",
             "soft_limit_margin", "p11", "max_speed", "home_speed", "left_soft_limit", "right_soft_limit", "p16",
             "acc_time", "encoder_scale", "travel_per_rev", "p20"]
    result = expect(["--sim", "params", "0"], 0)
    shown = re.findall(r"^\s*(\d+)\s+(\w+)\s+\S+$", result.out, re.M)
    check([name for _, name in shown] == names, "the fields are not named in record order: %s" % shown)
    with Sim() as sim:
        before = json.loads(expect(sim.where + ["params", "1", "--json"], 0).out)["parameters"]
        expect(sim.where + ["params", "1", "--set", "max_speed=200", "acc_time=0.1,p3=7"], 0,
               out=r"max_speed 100 -> 200")
        # A new connection reads the record back from the controller.
        after = json.loads(expect(sim.where + ["params", "1", "--json"], 0).out)["parameters"]
        check(after["max_speed"] == 200 and after["acc_time"] == 0.1 and after["p3"] == 7, "not set: %s" % after)
        for name in names:
            if name not in ("max_speed", "acc_time", "p3"):
                check(after[name] == before[name], "%s changed from %s to %s" % (name, before[name], after[name]))
        expect(sim.where + ["params", "1", "--set", "acc_time=fast"], 1, err=r"acc_time \(field 17\) must be a number")
        expect(sim.where + ["params", "1", "--set", "pulses_per_rev=2.5"], 1,
               err=r"pulses_per_rev \(field 2\) must be a whole number")
        expect(sim.where + ["params", "1", "--set", "speed=3"], 1, err="NAME one of: p0, p1, pulses_per_rev")
        check(json.loads(expect(sim.where + ["params", "1", "--json"], 0).out)["parameters"] == after,
              "a refused --set changed the record")


# ---- Stopping what was started ---------------------------------------------


@case
def ctrl_c_stops_a_move():
    with Sim() as sim:
        term = Terminal(sim.where + ["move", "0", "1000", "--speed", "20", "--wait"])
        term.wait_for(r"axis 0 [1-9]")
        term.key(b"\x03")
        rc = term.finish()
        check(rc == 130, "exit %s after Ctrl-C, expected 130" % rc)
        check(re.search(r"Ctrl-C: stopped axis 0 at [0-9.]+ before it reached 1000", term.text()), "not told")
        check(standing_still(sim, 0) < 1000, "axis 0 went on")


@case
def sigterm_stops_a_coordinated_move():
    with Sim() as sim:
        term = Terminal(sim.where + ["xyz", "500", "400", "300", "--speed", "20", "--wait"])
        term.wait_for(r"axis 0 [1-9]")
        term.proc.send_signal(signal.SIGTERM)
        rc = term.finish()
        check(rc == 130, "exit %s after SIGTERM, expected 130" % rc)
        check(re.search(r"SIGTERM: stopped axes 0, 1 and 2 at", term.text()), "not told")
        for number in range(3):
            standing_still(sim, number)


@case
def ctrl_c_stops_homing():
    with Sim() as sim:
        expect(sim.where + ["move", "0", "300", "--speed", "100", "--wait"], 0)
        term = Terminal(sim.where + ["home", "0", "--speed", "10", "--wait"])
        term.wait_for(r"axis 0 at 2[0-9][0-9]\.")
        term.key(b"\x03")
        rc = term.finish()
        check(rc == 130 and "Ctrl-C: stopped axis 0" in term.text(), "exit %s" % rc)
        position = standing_still(sim, 0)
        check(position > 100 and not axis(status(sim), 0)["homed"], "homing went on to %s" % position)


@case
def wait_timeout_stops_the_axis():
    with Sim() as sim:
        result = expect(sim.where + ["move", "0", "1000", "--wait", "--wait-timeout", "0.5"], 3,
                        err=r"did not reach 1000 within 0\.5 s and was still moving.*stopped axis 0 at")
        check("--wait-timeout allows longer" in result.err, "no hint")
        check(standing_still(sim, 0) < 1000, "axis 0 went on")


@case
def jog_for_a_time():
    with Sim() as sim:
        expect(sim.where + ["jog", "1", "+", "--speed", "20", "--for", "0.5"], 0, out=r"stopped axis 1 at [0-9.]+")
        check(standing_still(sim, 1) > 1, "axis 1 did not move")


@case
def jog_until_ctrl_c():
    with Sim() as sim:
        term = Terminal(sim.where + ["jog", "1", "-", "--speed", "20"])
        term.wait_for(r"axis 1 at -[1-9]")
        term.key(b"\x03")
        rc = term.finish()
        check(rc == 0, "exit %s: Ctrl-C is how a jog without --for ends" % rc)
        check(re.search(r"Ctrl-C: stopped axis 1 at -", term.text()), "not told")
        standing_still(sim, 1)


@case
def jog_stops_when_the_terminal_goes():
    with Sim() as sim:
        term = Terminal(sim.where + ["jog", "2", "+", "--speed", "20"])
        term.wait_for(r"axis 2 at [1-9]")
        term.proc.send_signal(signal.SIGHUP)
        term.finish()
        standing_still(sim, 2)


@case
def tmux_ctrl_c_stops_a_jog():
    if shutil.which("tmux") is None:
        raise Skip("tmux is not installed")
    with Sim() as sim, tempfile.TemporaryDirectory() as scratch:
        socket_path = os.path.join(scratch, "tmux.sock")
        tmux = ["tmux", "-S", socket_path]
        command = shlex.join([ARGS.tool] + sim.where + ["jog", "0", "+", "--speed", "20"]) + "; echo exit=$?; sleep 30"
        subprocess.run(tmux + ["new-session", "-d", "-x", "120", "-y", "20", command], check=True, env=tool_env())
        try:
            def screen():
                return subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True).stdout

            deadline = time.monotonic() + 20
            while not re.search(r"axis 0 at [1-9]", screen()) and time.monotonic() < deadline:
                time.sleep(0.05)
            subprocess.run(tmux + ["send-keys", "C-c"], check=True)
            deadline = time.monotonic() + 20
            while "exit=" not in screen() and time.monotonic() < deadline:
                time.sleep(0.05)
            text = screen()
            print(text)
            check("Ctrl-C: stopped axis 0 at" in text and "exit=0" in text, "the jog did not stop on Ctrl-C")
        finally:
            subprocess.run(tmux + ["kill-server"], capture_output=True)
        standing_still(sim, 0)


# ---- raw, fly ---------------------------------------------------------------


@case
def raw_text_and_its_answer():
    expect(["--sim", "raw", "hello"], 0, out="answer: echo hello")
    expect(["--sim", "raw", "2000:1!", "--answer-timeout", "0"], 0, out="not waiting")
    expect(["--sim", "raw", "2000:1!", "--answer-timeout", "0.5"], 3,
           err=r"a command \(such as \"2000:1!\"\) is carried out without an answer")


@case
def fly_capture_with_a_move():
    result = expect(["--sim", "fly", "start", "1", "0", "--setup", "0", "10", "20", "--move", "50", "--speed", "50",
                     "--wait", "3", "--json"], 0)
    doc = json.loads(result.out)
    check(doc["count"] == 10 and doc["positions"] == sorted(doc["positions"]) and doc["positions"][-1] > 0,
          "captured %s" % doc)
    result = expect(["--sim", "fly", "start", "1", "0", "--setup", "0", "10", "20", "--move", "50", "--speed", "50",
                     "--wait", "3"], 0, out=r"10 captured positions\n")
    # The documented limit: a command of its own sees no earlier capture,
    # and a start that waits for motion without --move times out.
    expect(["--sim", "fly", "positions", "--wait", "0.3"], 3, out="0 captured positions")
    expect(["--sim", "fly", "start", "1", "0", "--setup", "0", "10", "20", "--wait", "0.5"], 3)


# ---- watch ------------------------------------------------------------------


@case
def watch_rides_out_a_link_drop():
    port = free_port()
    sim = Sim(port=port)
    watch = subprocess.Popen([ARGS.tool, "--host", "127.0.0.1", "--port", str(port), "watch", "--json",
                              "--interval", "50"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=tool_env(), stdin=subprocess.DEVNULL)
    try:
        time.sleep(1.0)
        sim.stop()
        time.sleep(1.0)
        sim = Sim(port=port)
        # The library reconnects within its pause (1 s) and an attempt.
        time.sleep(3.0)
        watch.send_signal(signal.SIGTERM)
        out, err = watch.communicate(timeout=10)
        print(out[-2000:], err)
        states = [json.loads(line)["connected"] for line in out.splitlines()]
        check(states[0] and not all(states) and states[-1], "no drop and recovery seen: %s" % states)
        check(watch.returncode == 0, "exit %s after a recovered drop, expected 0" % watch.returncode)

        # Down when it ends: exit 2.
        watch = subprocess.Popen([ARGS.tool, "--host", "127.0.0.1", "--port", str(port), "watch", "--json"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=tool_env(),
                                 stdin=subprocess.DEVNULL)
        time.sleep(1.0)
        sim.stop()
        time.sleep(0.5)
        watch.send_signal(signal.SIGTERM)
        out, err = watch.communicate(timeout=10)
        print(out[-500:], err)
        check(watch.returncode == 2 and "down when the watch ended" in err, "exit %s with the link down" % watch.returncode)
    finally:
        if watch.poll() is None:
            watch.kill()
        sim.stop()


@case
def watch_restores_the_cursor_on_sigterm():
    term = Terminal(["--sim", "watch", "--interval", "50"])
    term.wait_for(r"connected.*Ctrl-C ends")
    check("\x1b[?25l" in term.text(), "the cursor was not hidden")
    term.proc.send_signal(signal.SIGTERM)
    rc = term.finish()
    check(rc == 0, "exit %s" % rc)
    text = term.text()
    check(text.rfind("\x1b[?25h") > text.rfind("\x1b[?25l"), "the cursor was not shown again")


# ---- Every documented example ------------------------------------------------


class SimPool:
    """orvane-sim instances for the examples: one on 127.0.0.1 on a free port
    (ORVANE_HOST and ORVANE_PORT point there), and more where an example
    names another host or port."""

    def __init__(self):
        self.default = Sim()
        self.others = {}

    def env(self):
        return {"ORVANE_HOST": "127.0.0.1", "ORVANE_PORT": str(self.default.port)}

    def ensure(self, host, port):
        if host == "127.0.0.1" and port == self.default.port:
            return
        if (host, port) not in self.others:
            check(host.startswith("127."), "an example names a controller off this machine: %s" % host)
            self.others[(host, port)] = Sim(bind=host, port=port)

    def stop(self):
        self.default.stop()
        for sim in self.others.values():
            sim.stop()


def run_example(line, pool):
    words = shlex.split(line)
    env = {} if "--sim" in words else pool.env()
    while words and re.match(r"^[A-Z_]+=", words[0]):
        name, value = words.pop(0).split("=", 1)
        env[name] = value
    check(words and words[0] == "orvane", "not an orvane command: %s" % line)
    args = words[1:]
    if "--sim" not in args:
        host = env.get("ORVANE_HOST", pool.env()["ORVANE_HOST"])
        port = int(env.get("ORVANE_PORT", pool.env()["ORVANE_PORT"]))
        if "--host" in args:
            host = args[args.index("--host") + 1]
            if host.isdigit():
                host = ARGS.prefix + host
        if "--port" in args:
            port = int(args[args.index("--port") + 1])
        pool.ensure(host, port)
    endless = ("watch" in args and "--count" not in args) or ("jog" in args and "--for" not in args) or \
        (args[:1] == ["panel"] or "panel" in args)
    if not endless:
        result = run(args, env=env)
        check(result.rc == 0, "the example `%s` exited %s" % (line, result.rc))
        return
    # A view or a jog runs until Ctrl-C: give it a moment, then send it.
    proc = subprocess.Popen([ARGS.tool] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=tool_env(env), stdin=subprocess.DEVNULL)
    time.sleep(1.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=20)
    print("$ %s   (Ctrl-C after 1.5 s)\nexit %s\n%s%s" % (line, proc.returncode, out[-1500:], err))
    check(proc.returncode == 0, "the example `%s` exited %s after Ctrl-C" % (line, proc.returncode))


def documented_examples():
    """Every `orvane ...` line of the sh blocks in the pages about the tool."""
    lines = []
    for page in ("README.md", "docs/getting-started.md", "docs/tool.md"):
        in_block = False
        with open(os.path.join(ARGS.source, page), encoding="utf-8") as f:
            for raw in f:
                text = raw.rstrip("\n")
                if text.startswith("```"):
                    in_block = text.strip() == "```sh"
                    continue
                if not in_block:
                    continue
                command = re.sub(r"\s+#.*$", "", text).strip()
                if re.match(r"^([A-Z_]+=\S+\s+)*orvane\s", command):
                    lines.append((page, command))
    return lines


@case
def documented_examples_work():
    examples = documented_examples()
    check(len(examples) >= 30, "only %d examples found in the docs" % len(examples))
    pool = SimPool()
    try:
        for page, line in examples:
            print("---- %s: %s" % (page, line))
            run_example(line, pool)
    finally:
        pool.stop()


def subcommand_paths():
    paths = [[]]
    for name in ("status", "watch", "move", "xyz", "home", "jog", "stop", "zero", "out", "in", "params", "levels",
                 "raw", "version", "fly"):
        paths.append([name])
    for name in ("setup", "start", "trim", "positions"):
        paths.append(["fly", name])
    return paths


@case
def help_examples_work():
    examples = []
    for path in subcommand_paths():
        result = expect(path + ["--help"], 0)
        found = re.findall(r"^  ((?:[A-Z_]+=\S+ )*orvane .*)$", result.out, re.M)
        check(found or path == ["fly"] or path == [], "`orvane %s --help` shows no example" % " ".join(path))
        examples += found
    check(any('raw "2000:1!"' in line for line in examples), "the raw example is missing")
    pool = SimPool()
    try:
        for line in examples:
            print("---- --help: %s" % line)
            run_example(line, pool)
    finally:
        pool.stop()


# ---- The demonstration -------------------------------------------------------


@case
def demonstration():
    with tempfile.TemporaryDirectory() as out_dir:
        started = time.monotonic()
        proc = subprocess.run([ARGS.demo, "--out", out_dir], capture_output=True, timeout=120,
                              stdin=subprocess.DEVNULL)
        text = proc.stdout.decode("utf-8", "strict")  # no GBK bytes: strict UTF-8 decoding
        print(text, proc.stderr.decode("utf-8", "replace"))
        check(proc.returncode == 0, "orvane-demo exited %s after %.1f s" % (proc.returncode, time.monotonic() - started))
        check("10 of 10 steps succeeded" in text, "not every step succeeded")
        check("library info:" in text, "the library's messages are not in the narration")
        check(re.search(r"listening on 127\.0\.0\.1:\d+", text), "the simulator is not on a loopback port")

        with open(os.path.join(out_dir, "xyz-move.csv")) as f:
            rows = [line.split(",") for line in f.read().splitlines()[1:]]
        times = [float(row[0]) for row in rows]
        check(times[0] == 0 and all(b > a for a, b in zip(times, times[1:])), "sample times do not increase")
        steps = sorted(b - a for a, b in zip(times, times[1:]))
        median = steps[len(steps) // 2]
        check(0.007 <= median <= 0.013, "samples are %.4f s apart, not one per status line (10 ms)" % median)
        # During the motion no two samples repeat a position: one per line.
        moving = [tuple(row[1:]) for row in rows if row[1] not in (rows[0][1], rows[-1][1])]
        check(len(moving) == len(set(moving)), "samples repeat a status line during the motion")

        with open(os.path.join(out_dir, "xyz-move.svg")) as f:
            svg = f.read()
        width = int(re.search(r'<svg[^>]* width="(\d+)"', svg).group(1))
        right = width - 30.0  # the plot area's right edge (svg_plot.cpp)
        xs = [float(x) for polyline in re.findall(r'<polyline[^>]*points="([^"]*)"', svg)
              for x in re.findall(r"([0-9.]+),[0-9.]+", polyline)]
        check(abs(max(xs) - right) < 0.5, "the time axis goes on past the data: data end at %.1f, axis at %.1f"
              % (max(xs), right))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--tool")
    parser.add_argument("--sim")
    parser.add_argument("--demo")
    parser.add_argument("--source")
    parser.add_argument("--prefix", default="127.0.0.")
    parser.add_argument("case", nargs="?")
    ARGS = parser.parse_args()
    if ARGS.list:
        print(";".join(CASES))
        return 0
    if ARGS.case not in CASES:
        print("unknown case %s" % ARGS.case)
        return 1
    try:
        CASES[ARGS.case]()
    except Skip as e:
        print("skipped: %s" % e)
        return SKIP
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
