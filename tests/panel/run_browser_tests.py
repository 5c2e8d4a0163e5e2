#!/usr/bin/python3
"""Runs the panel's browser tests (browser_test.py) with pytest, or says why
it cannot and exits with 77, which CTest counts as skipped."""
import argparse
import os
import shutil
import subprocess
import sys

SKIPPED = 77


def missing_prerequisites():
    missing = []
    if not (shutil.which("chromium") or os.path.exists("/usr/bin/chromium")):
        missing.append("chromium (Debian package chromium)")
    if not (shutil.which("chromedriver") or os.path.exists("/usr/bin/chromedriver")):
        missing.append("chromedriver (Debian package chromium-driver)")
    for module, package in (("selenium", "python3-selenium"), ("pytest", "python3-pytest")):
        try:
            __import__(module)
        except ImportError:
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
