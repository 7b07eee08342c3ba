"""What the checks of the tools share: failures collected and counted, and a tool run as a user
runs it, with a Python traceback counted as a failure of its own."""
import os
import subprocess
import sys

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print(f"FAIL: {what}", file=sys.stderr)


def run(tool, *args, env=None, timeout=60, traceback_fails=True):
    """(status, stdout, stderr) of `python tool args...`; env adds to the environment (None
    unsets a variable)."""
    full = None
    if env:
        full = dict(os.environ)
        for name, value in env.items():
            if value is None:
                full.pop(name, None)
            else:
                full[name] = value
    p = subprocess.run([sys.executable, tool, *args], capture_output=True, text=True,
                       timeout=timeout, env=full)
    if traceback_fails:
        check("Traceback" not in p.stderr, f"{args}: Python traceback: {p.stderr}")
    return p.returncode, p.stdout, p.stderr


def summary():
    """The exit status of a check script: 1 when anything failed."""
    print(f"{len(failures)} failures")
    return 1 if failures else 0
