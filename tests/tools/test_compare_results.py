"""Checks of tools/compare_results.py on files made here (the programs' own runs are compared in
tests/programs/test_run_record.py).

Usage: test_compare_results.py TOOL FIXTURE_DIR
"""
import copy
import json
import os
import subprocess
import sys
import tempfile

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print(f"FAIL: {what}", file=sys.stderr)


def run(tool, *args):
    p = subprocess.run([sys.executable, tool, *args], capture_output=True, text=True, timeout=60)
    check("Traceback" not in p.stderr, f"{args}: Python traceback: {p.stderr}")
    return p.returncode, p.stdout, p.stderr


def row(bytes_, mode, busbw, latency, dtype="float", redop="sum"):
    return {"bytes": bytes_, "count": bytes_ // 4, "type": dtype, "redop": redop, "mode": mode,
            "latency_us": latency, "algbw_gbs": busbw, "busbw_gbs": busbw, "errors": 0,
            "rank_time_us": None, "first_error": None}


BASE = {
    "program": "bench-allreduce", "collective": "AllReduce", "ranks": 2, "processes": 1,
    "started": "2026-12-08T10:00:00Z", "verdict": "PASSED", "error": None,
    "rows": [row(4096, "inplace", 1.0, 8.0), row(4096, "outofplace", 1.0, 8.0),
             row(65536, "inplace", 4.0, 32.0), row(65536, "outofplace", 4.0, 32.0)],
}


def main():
    tool, fixtures = sys.argv[1:3]
    with tempfile.TemporaryDirectory() as tmp:
        def write(name, doc):
            path = os.path.join(tmp, name)
            with open(path, "w" if isinstance(doc, (dict, str)) else "wb") as f:
                f.write(json.dumps(doc) if isinstance(doc, dict) else doc)
            return path

        base = write("base.json", BASE)
        rc, out, err = run(tool, base, base)
        check(rc == 0, f"identical records: status {rc}: {err}")
        check("no regression: 4 rows compared" in out, f"identical records: {out}")
        check("AllReduce, 2 ranks, started 2026-12-08T10:00:00Z" in out, f"run described: {out}")

        # One row 10% slower: flagged at the default 5%, not at 20%; the faster one never.
        slower = copy.deepcopy(BASE)
        slower["rows"][2]["busbw_gbs"] = 3.6
        slower["rows"][3]["busbw_gbs"] = 8.0
        new = write("slower.json", slower)
        rc, out, err = run(tool, base, new)
        check(rc == 1, f"one row slower: status {rc}: {err}")
        check(out.count("REGRESSED") == 1, f"one row flagged: {out}")
        check("1 of 4 rows regressed by more than 5%:\n  65536 bytes, 16384 x float sum, inplace"
              in out, f"regressed row named: {out}")
        check(run(tool, base, new, "--threshold", "20")[0] == 0, "10% within a 20% threshold")
        check(run(tool, base, new, "--threshold=9.5")[0] == 1, "10% beyond 9.5%")
        # Latency: higher is worse.
        longer = copy.deepcopy(BASE)
        longer["rows"][0]["latency_us"] = 9.0
        rc, out, _ = run(tool, base, write("longer.json", longer), "--metric", "latency")
        check(rc == 1 and "4096 bytes, 1024 x float sum, inplace" in out.split("regressed")[-1],
              f"longer latency: status {rc}: {out}")
        check(run(tool, base, new, "--metric", "latency")[0] == 0, "bandwidth change, same latency")

        # Rows of one file only are listed, and do not count as regressions.
        fewer = copy.deepcopy(BASE)
        del fewer["rows"][1]
        fewer["rows"].append(row(1024, "inplace", 0.5, 4.0, dtype="int8"))
        rc, out, _ = run(tool, base, write("fewer.json", fewer))
        check(rc == 0, f"rows only in one file: status {rc}")
        check("rows only in base: 1 (4096 bytes, 1024 x float sum, outofplace)" in out, out)
        check("rows only in new: 1 (1024 bytes, 256 x int8 sum, inplace)" in out, out)

        # A base of 0 GB/s (one rank) cannot be compared: n/a, and exit 2 if nothing else is.
        one_rank = copy.deepcopy(BASE)
        for r in one_rank["rows"]:
            r["busbw_gbs"] = 0.0
        one = write("one.json", one_rank)
        rc, out, err = run(tool, one, one)
        check(rc == 2 and "--metric latency" in err, f"all bases 0: status {rc}: {err}")
        check(run(tool, one, one, "--metric", "latency")[0] == 0, "one rank by latency")
        nulls = copy.deepcopy(BASE)
        nulls["rows"][0]["busbw_gbs"] = None  # a step that measured no time
        rc, out, _ = run(tool, write("null.json", nulls), base)
        check(rc == 0 and " n/a" in out, f"null value: status {rc}: {out}")

        # Different collectives are refused unless forced.
        gather = copy.deepcopy(BASE)
        gather["collective"] = "AllGather"
        other = write("gather.json", gather)
        rc, _, err = run(tool, base, other)
        check(rc == 2 and "--force" in err and "AllGather" in err, f"collectives: {rc} {err}")
        check(run(tool, base, other, "--force")[0] == 0, "collectives forced")

        # A CSV file matches a record: modes by name, the reduce operation column.
        csv_path = os.path.join(fixtures, "reduce_two_modes.csv")
        rc, out, err = run(tool, csv_path, csv_path)
        check(rc == 0 and "11 rows compared" in out and out.count(" n/a") == 1,
              f"CSV against itself (one row of 0 GB/s): {rc} {out} {err}")
        from_csv = copy.deepcopy(BASE)
        from_csv["rows"] = [row(4096, "inplace", 0.26, 23.194), row(4096, "outofplace", 0.2, 1)]
        rc, out, _ = run(tool, csv_path, write("csv_like.json", from_csv))
        check(rc == 1 and out.count("REGRESSED") == 1 and "rows only in base: 10" in out,
              f"CSV against a record: {rc} {out}")

        # A failed run is compared, with a warning.
        failed = copy.deepcopy(BASE)
        failed["verdict"] = None
        failed["error"] = "error msg: internal error"
        rc, _, err = run(tool, base, write("failed.json", failed))
        check(rc == 0 and "did not pass (no verdict: error msg: internal error)" in err, err)

        # Unreadable input: status 2 and a message, never a traceback.
        bad_row = copy.deepcopy(BASE)
        bad_row["rows"][0]["latency_us"] = "fast"
        empty_rows = dict(BASE, rows=[])
        for what, path, text in [
                ("missing file", os.path.join(tmp, "none.json"), "cannot read"),
                ("binary file", write("bin", b"\xff\xfe\x00\x81"), "cannot read"),
                ("cut JSON", write("cut.json", json.dumps(BASE)[:60]), "invalid JSON"),
                ("no rows", write("norows.json", {"program": "x"}), "no 'rows' list"),
                ("bad row", write("badrow.json", bad_row), "'latency_us' is not a number"),
                ("empty rows", write("empty.json", empty_rows), "no data rows"),
                ("bad CSV", os.path.join(fixtures, "malformed.csv"), "unknown CSV header")]:
            for args in ((base, path), (path, base)):
                rc, _, err = run(tool, *args)
                check(rc == 2 and text in err, f"{what}: status {rc}, message {err.strip()}")
        for args in (["--threshold", "-1"], ["--threshold", "x"], ["--metric", "speed"], []):
            rc, _, err = run(tool, *([base, base] if args else [base]), *args)
            check(rc == 2 and "usage:" in err, f"arguments {args}: status {rc}: {err}")
        rc, out, _ = run(tool, "--help")
        check(rc == 0 and "Exit status" in out and "--threshold" in out, f"--help: {rc}")
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
