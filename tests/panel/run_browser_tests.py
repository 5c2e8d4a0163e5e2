#!/usr/bin/python3
"""Runs the panel's browser tests (browser_test.py) with pytest, or says why
it cannot and exits with 77, which CTest counts as skipped."""
import argparse, importlib.util, os, subprocess, sys

SKIPPED = 77


def missing_prerequisites():
    # The browser tests use /usr/bin/chromium and /usr/bin/chromedriver.
    missing = [f"{program} (Debian package {package})" for program, package in
               (("chromium", "chromium"), ("chromedriver", "chromium-driver")) if not os.path.exists("/usr/bin/" + program)]
    for module, package in (("selenium", "python3-selenium"), ("pytest", "python3-pytest")):
        if importlib.util.find_spec(module) is None:
            missing.append(f"the Python module {module} (Debian package {package})")
    return missing


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--panel", required=True, help="the orvane-panel program")
    parser.add_argument("--sim", required=True, help="the orvane-sim program")
    parser.add_argument("--out", required=True, help="folder for screenshots and figures")
    parser.add_argument("pytest_args", nargs="*", help="passed on to pytest (e.g. -k jog)")
    args = parser.parse_args()

    missing = missing_prerequisites()
    if missing:
        print("panel browser tests skipped: missing " + "; ".join(missing))
        return SKIPPED

    env = dict(os.environ)
    env.update(ORVANE_PANEL_BIN=os.path.abspath(args.panel), ORVANE_SIM_BIN=os.path.abspath(args.sim),
               ORVANE_PANEL_OUT=os.path.abspath(args.out))
    here = os.path.dirname(os.path.abspath(__file__))
    command = [sys.executable, "-m", "pytest", "-v", "-s", "-p", "no:cacheprovider",
               os.path.join(here, "browser_test.py"), *args.pytest_args]
    result = subprocess.run(command, env=env, cwd=args.out, stdin=subprocess.DEVNULL)
    if result.returncode == 5:
        print("panel browser tests: pytest collected no test")
        return 1
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
