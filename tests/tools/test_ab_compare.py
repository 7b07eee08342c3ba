"""Checks of tools/ab_compare.py with a stand-in program that writes fixed records, so that no
verdict depends on the host's load.

Usage: test_ab_compare.py TOOL
"""
import json
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # the shared checks beside this file; keep the tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tooltest import check, summary  # noqa: E402


# Writes a record of one row whose blocks took FAKE_LAT (comma list, microseconds), notes
# its side in FAKE_LOG, and exits with FAKE_STATUS.
FAKE = r'''
import json, os, sys

lat = [float(v) for v in os.environ["FAKE_LAT"].split(",")]
with open(os.environ["FAKE_LOG"], "a") as log:
    log.write(sys.argv[1] + "\n")
row = {"bytes": 4096, "count": 1024, "type": "float", "redop": "sum", "mode": "inplace",
       "latency_us": lat[0], "algbw_gbs": 1.0, "busbw_gbs": 1.0, "errors": 0,
       "samples_us": lat}
if os.environ.get("FAKE_STATUS", "0") != "0":
    sys.exit(int(os.environ["FAKE_STATUS"]))
with open(os.environ["BENCHMARK_RECORD"], "w") as f:
    json.dump({"program": "fake", "collective": "AllReduce", "verdict": "PASSED",
               "error": None, "rows": [row]}, f)
'''


def main():
    tool = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        fake = os.path.join(tmp, "fake.py")
        with open(fake, "w") as f:
            f.write(FAKE)
        log = os.path.join(tmp, "log")
        count = 0

        def run(base_env, new_env, *options, pairs="3"):
            nonlocal count
            count += 1
            out = os.path.join(tmp, f"ab{count}")
            if os.path.exists(log):
                os.unlink(log)
            cmd = [sys.executable, tool, "--out", out, "--pairs", pairs,
                   "--base", f"{base_env} FAKE_LOG={log} {sys.executable} {fake} base",
                   "--new", f"{new_env} FAKE_LOG={log} '{sys.executable}' {fake} new", *options]
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
            check("Traceback" not in p.stderr, f"traceback: {p.stderr}")
            order = open(log).read().split() if os.path.exists(log) else []
            return p.returncode, p.stdout, p.stderr, order, out

        same = "FAKE_LAT=10,10.2,10.1,10.3"
        rc, out, err, order, d = run(same, same)
        check(rc == 0 and "no regression: 1 rows compared" in out, f"same: {rc} {out} {err}")
        check(order == ["base", "new", "new", "base", "base", "new"],
              f"runs in turn, pairs in alternating order: {order}")
        check(sorted(os.listdir(os.path.join(d, "base"))) ==
              sorted(f"run-00{i}.{e}" for i in (1, 2, 3) for e in ("json", "out", "err")),
              f"one record per run: {os.listdir(os.path.join(d, 'base'))}")
        check("12/12" in out, f"samples pooled over the runs: {out}")

        slower = "FAKE_LAT=12,12.2,12.1,12.3"
        rc, out, err, _, _ = run(same, slower, "--metric", "latency")
        check(rc == 1 and " regressed" in out, f"20% slower: {rc} {out} {err}")
        rc, out, _, _, _ = run(same, slower, "--metric", "latency", "--threshold", "30")
        check(rc == 0, f"within --threshold 30: {rc} {out}")

        # A failing run stops the runner at once, named, with status 2.
        rc, out, err, order, d = run(same, slower + " FAKE_STATUS=1")
        check(rc == 2 and "new run 1 failed (status 1)" in err
              and os.path.join(d, "new", "run-001") in err, f"failed run: {rc} {err}")
        check(order == ["base", "new"], f"stopped after the failure: {order}")
        rc, _, err, _, _ = run(same, "FAKE_LAT=1 /nonexistent/prog")
        check(rc == 2 and "new run 1 could not start: /nonexistent/prog" in err,
              f"missing program: {rc} {err}")
        # A folder that already holds records would mix them in.
        rc, _, err, _, _ = run(same, same)
        d = os.path.join(tmp, f"ab{count}")
        p = subprocess.run([sys.executable, tool, "--out", d, "--base", "x", "--new", "y"],
                           capture_output=True, text=True, timeout=60)
        check(p.returncode == 2 and "already holds records" in p.stderr, f"old records: {p.stderr}")
        for args in (["--pairs", "0"], ["--base", "A=1"], ["--base", "'open"], []):
            full = ["--out", os.path.join(tmp, "x"), "--base", "b", "--new", "n"] + args
            if not args:
                full = full[:2]
            p = subprocess.run([sys.executable, tool, *full], capture_output=True, text=True,
                               timeout=60)
            check(p.returncode == 2 and "usage:" in p.stderr, f"arguments {args}: {p.stderr}")
        p = subprocess.run([sys.executable, tool, "--help"], capture_output=True, text=True,
                           timeout=60)
        check(p.returncode == 0 and "--pairs" in p.stdout and "Exit status" in p.stdout,
              f"--help: {p.stdout}")
    return summary()


if __name__ == "__main__":
    sys.exit(main())
