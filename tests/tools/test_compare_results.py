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

sys.dont_write_bytecode = True  # the shared checks beside this file; keep the tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tooltest import check, run, summary  # noqa: E402



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


def has_scipy():
    for py in (sys.executable, "/usr/bin/python3"):
        if os.path.exists(py) and subprocess.run([py, "-c", "import scipy.stats"],
                                                 capture_output=True).returncode == 0:
            return True
    return False


def sampled(latencies, bytes_=65536, mode="inplace", busbw_at_first=4.0):
    """A row whose blocks took `latencies`; the row shows the first block."""
    r = row(bytes_, mode, busbw_at_first, latencies[0])
    r["samples_us"] = list(latencies)
    return r


def record(rows, collective="AllReduce"):
    return dict(BASE, collective=collective, rows=rows)


def verdicts(out):
    """{(bytes, mode): (p text, verdict)} of the printed rows."""
    found = {}
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 11 and f[0].isdigit():
            found[(int(f[0]), f[4])] = (f[8], " ".join(f[10:]))
    return found


def check_statistics(tool, write, tmp):
    """Rows with samples: the test, Holm's adjustment, ties and equal samples, pooling."""
    def compare(base_rows, new_rows, *options):
        b = write("sb.json", record(base_rows))
        n = write("sn.json", record(new_rows))
        rc, out, err = run(tool, b, n, *options)
        return rc, verdicts(out), out, err

    five = [10.0, 10.1, 10.2, 10.3, 10.4]
    slower = [v * 1.2 for v in five]  # every new block slower than every base block
    # 5 against 5, no overlap: the exact two-sided p is 2/252 = 0.0079.
    rc, v, out, err = compare([sampled(five)], [sampled(slower)], "--metric", "latency")
    check(rc == 1 and v[(65536, "inplace")] == ("0.0079", "regressed"), f"5 vs 5: {rc} {out} {err}")
    check("1 of 1 rows regressed by more than 5%, significant at alpha 0.05" in out, out)
    # Bandwidth from the same blocks: lower by the time ratio, the same test.
    # Bandwidth from the same blocks: the row's value scaled by the times (medians 4 x 10/10.2
    # and 3.333 x 12/12.24), the same test.
    rc, v, out, _ = compare([sampled(five)], [sampled(slower, busbw_at_first=4.0 * 10 / 12)])
    check(rc == 1 and v[(65536, "inplace")] == ("0.0079", "regressed") and " 3.92157 " in out
          and " 3.26797 " in out, f"bandwidth samples: {out}")
    check(compare([sampled(slower)], [sampled(five)], "--metric", "latency")[1]
          [(65536, "inplace")][1] == "improved", "faster is improved")

    # Holm: with 3 such rows the smallest p is 3 x 0.0079, still below 0.05; with 7, 0.056 is not.
    sizes = [4096 * 2 ** k for k in range(7)]
    for n_rows, expect in ((3, "regressed"), (7, "~")):
        rc, v, out, _ = compare([sampled(five, b) for b in sizes[:n_rows]],
                                [sampled(slower, b) for b in sizes[:n_rows]], "--metric", "latency")
        check(rc == (1 if expect == "regressed" else 0)
              and all(v[(b, "inplace")][1] == expect for b in sizes[:n_rows]),
              f"Holm over {n_rows} rows: {rc} {out}")
    check(compare([sampled(five, b) for b in sizes], [sampled(slower, b) for b in sizes],
                  "--metric", "latency", "--alpha", "0.1")[0] == 1, "alpha 0.1 over 7 rows")

    # Ties, within and across the sides, and sides each of one value.
    tied_base, tied_new = [10, 10, 10, 11, 11, 11], [11, 12, 12, 12, 13, 13]
    rc, v, out, _ = compare([sampled(tied_base)], [sampled(tied_new)], "--metric", "latency")
    p_text, verdict = v[(65536, "inplace")]
    check(rc == 1 and verdict == "regressed" and float(p_text) < 0.05, f"ties: {out}")
    rc, v, out, _ = compare([sampled([10] * 6)], [sampled([12] * 6)], "--metric", "latency")
    check(rc == 1 and v[(65536, "inplace")][1] == "regressed", f"each side one value: {out}")
    rc, v, out, err = compare([sampled([10] * 6)], [sampled([10] * 6)], "--metric", "latency")
    check(rc == 0 and v[(65536, "inplace")] == ("1", "~") and "Traceback" not in err,
          f"all samples equal: {out} {err}")

    # Significant but within the threshold, and a large change that noise explains: both "~",
    # where the threshold rule alone would cry wolf on the second.
    rc, v, out, _ = compare([sampled([100 + i / 10 for i in range(10)])],
                            [sampled([102 + i / 10 for i in range(10)])], "--metric", "latency")
    check(rc == 0 and v[(65536, "inplace")][1] == "~", f"2% slower, significant: {out}")
    noisy_base, noisy_new = [1, 5, 9, 2, 8], [2, 6, 10, 3, 9]
    rc, v, out, _ = compare([sampled(noisy_base)], [sampled(noisy_new)], "--metric", "latency")
    check(rc == 0 and v[(65536, "inplace")][1] == "~", f"noisy: {out}")

    # A row with fewer samples keeps the threshold rule, and is marked; a record of today
    # (no samples_us) gives its one value.
    old_row = row(65536, "outofplace", 4.0, 10.0)
    rc, v, out, _ = compare([sampled(five), old_row],
                            [sampled(five), dict(old_row, latency_us=12.0)], "--metric", "latency")
    check(rc == 1 and v[(65536, "outofplace")] == ("-", "regressed (threshold)")
          and v[(65536, "inplace")][1] == "~" and "judged by the threshold alone" in out,
          f"mixed rows: {out}")

    # Directories: every *.json pooled per row; five records of one sample each are tested.
    for label, lat in (("base", 10.0), ("new", 12.0)):
        os.makedirs(os.path.join(tmp, label))
        for i in range(5):
            write(f"{label}/r{i}.json", record([row(65536, "inplace", 4.0, lat + i / 100)]))
        write(f"{label}/notes.txt", "not a record")
    rc, out, err = run(tool, os.path.join(tmp, "base"), os.path.join(tmp, "new"),
                       "--metric", "latency")
    check(rc == 1 and verdicts(out)[(65536, "inplace")] == ("0.0079", "regressed")
          and "(5 records: AllReduce, 2 ranks" in out and "5/5" in out, f"directories: {out} {err}")
    # Runs that differ as a whole (each started at its own moment) with steady blocks: the runs
    # are clusters, so new runs that sit among the base ones are "~", where pooling their
    # blocks as independent samples (--unit block) calls the 8% shift of medians significant;
    # so are three runs a side shifted by less than the runs' own spread.
    def runs(label, levels, step=0.01):
        os.makedirs(os.path.join(tmp, label))
        for i, level in enumerate(levels):
            write(f"{label}/r{i}.json", record([sampled([level + k * step for k in range(10)])]))
        return os.path.join(tmp, label)

    base_runs = runs("runs_base", [10, 10.4, 10.8, 11.2, 11.6, 12.0, 12.4, 12.8, 13.2, 13.6])
    new_runs = runs("runs_new", [10.2, 10.6, 11.0, 12.1, 12.5, 12.9, 13.3, 13.7, 14.6, 15.0])
    rc, out, err = run(tool, base_runs, new_runs, "--metric", "latency")
    check(rc == 0 and verdicts(out)[(65536, "inplace")][1] == "~" and "100/100" in out
          and "unit of the test: the timed block, runs as clusters (10 and 10 runs" in out,
          f"between-run shift: {rc} {out} {err}")
    rc, out, err = run(tool, base_runs, new_runs, "--metric", "latency", "--unit", "block")
    check(rc == 1 and "100/100" in out and "(--unit block: all runs pooled; 10 and 10 runs)" in out,
          f"--unit block pools the blocks: {rc} {out} {err}")
    rc, out, err = run(tool, base_runs, new_runs, "--metric", "latency", "--unit", "run")
    check(rc == 0 and "10/10" in out and "(--unit run: the median block of each run" in out,
          f"--unit run: {rc} {out} {err}")
    rc, out, err = run(tool, runs("few_base", [10, 12, 14]), runs("few_new", [10.8, 12.8, 14.8]),
                       "--metric", "latency")
    check(rc == 0 and "30/30" in out and verdicts(out)[(65536, "inplace")][1] == "~",
          f"three runs a side within their spread: {rc} {out} {err}")
    # Runs that agree keep the power of their blocks: 3 steady runs a side, new 10% slower, is
    # far beyond what 3 against 3 runs alone could show (at best p = 0.1).
    rc, out, err = run(tool, runs("steady_base", [10, 10.02, 10.01], 0.05),
                       runs("steady_new", [11, 11.02, 11.01], 0.05), "--metric", "latency")
    p_text, verdict = verdicts(out)[(65536, "inplace")]
    check(rc == 1 and verdict == "regressed" and float(p_text) < 1e-4,
          f"steady runs keep their blocks' power: {rc} {out} {err}")
    # Blocks of one value per side in several runs: the runs cannot differ, the sides do.
    rc, out, err = run(tool, runs("flat_base", [10, 10, 10], 0), runs("flat_new", [12, 12, 12], 0),
                       "--metric", "latency")
    check(rc == 1 and verdicts(out)[(65536, "inplace")][1] == "regressed",
          f"runs of one value each: {rc} {out} {err}")
    rc, out, err = run(tool, runs("same_base", [10, 10, 10], 0), runs("same_new", [10, 10, 10], 0),
                       "--metric", "latency")
    check(rc == 0 and verdicts(out)[(65536, "inplace")] == ("1", "~"),
          f"all runs alike: {rc} {out} {err}")
    os.makedirs(os.path.join(tmp, "empty"))
    os.makedirs(os.path.join(tmp, "mixed"))
    write("mixed/a.json", record([row(4096, "inplace", 1, 1)]))
    write("mixed/b.json", record([row(4096, "inplace", 1, 1)], collective="AllGather"))
    for what, path, text in (("empty folder", "empty", "without *.json run records"),
                             ("two collectives", "mixed", "AllGather and AllReduce")):
        rc, _, err = run(tool, os.path.join(tmp, path), os.path.join(tmp, "new"))
        check(rc == 2 and text in err, f"{what}: {rc} {err}")
    bad = record([dict(sampled(five), samples_us=["slow"])])
    rc, _, err = run(tool, write("badsamples.json", bad), write("b2.json", record([sampled(five)])))
    check(rc == 2 and "'samples_us' is not a list of times" in err, f"bad samples: {rc} {err}")
    rc, _, err = run(tool, write("a.json", record([sampled(five)])), write("b.json",
                     record([sampled(five)])), "--alpha", "1")
    check(rc == 2 and "usage:" in err, f"--alpha 1: {rc} {err}")

    # Without scipy: said once, every row by the threshold.
    fake = os.path.join(tmp, "noscipy", "scipy")
    os.makedirs(fake)
    with open(os.path.join(fake, "__init__.py"), "w") as f:
        f.write("raise ImportError('hidden by the test')\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(fake))
    p = subprocess.run([sys.executable, tool, write("c.json", record([sampled(five)])),
                        write("d.json", record([sampled(slower)])), "--metric", "latency"],
                       capture_output=True, text=True, timeout=60, env=env)
    check(p.returncode == 1 and "scipy is not available" in p.stderr
          and "python3-scipy" in p.stderr and "regressed (threshold)" in p.stdout,
          f"no scipy: {p.returncode} {p.stdout} {p.stderr}")


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
        check(out.count("  regressed (threshold)") == 1, f"one row flagged: {out}")
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

        # Rows of one file only are listed, and do not count as regressions (of one type:
        # runs of other types are not compared).
        fewer = copy.deepcopy(BASE)
        del fewer["rows"][1]
        fewer["rows"].append(row(1024, "inplace", 0.5, 4.0))
        rc, out, _ = run(tool, base, write("fewer.json", fewer))
        check(rc == 0, f"rows only in one file: status {rc}")
        check("rows only in base: 1 (4096 bytes, 1024 x float sum, outofplace)" in out, out)
        check("rows only in new: 1 (1024 bytes, 256 x float sum, inplace)" in out, out)

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

        # Runs made differently are refused, each difference named; --force warns and goes on.
        # Types count only for runs that reached their verdict (a cut run holds fewer).
        settings = dict(BASE, clock="host", loop=20, warmup=5, datacheck=False,
                        alltoall_api=None)
        plain = write("settings.json", settings)
        four = write("four.json", dict(settings, ranks=4, processes=2, loop=10, datacheck=True,
                                       rows=BASE["rows"] + [row(4096, "inplace", 1, 8, "int8")]))
        rc, out, err = run(tool, plain, four)
        check(rc == 2 and out == "" and "--force" in err and "ranks: 2 in " in err
              and "processes: 1 in " in err and "-l: 20 in " in err
              and "-d (data check): off in " in err and "types: float in " in err
              and "-w" not in err, f"different runs: {rc} {out} {err}")
        rc, out, err = run(tool, plain, four, "--force")
        check(rc == 0 and err.count("compared although the runs differ") == 5,
              f"different runs forced: {rc} {err}")
        cut = write("cut_short.json", dict(settings, verdict=None, rows=BASE["rows"][:2]))
        check(run(tool, plain, cut)[0] == 0, "a run cut short: its types are not compared")
        os.makedirs(os.path.join(tmp, "alike"))
        write("alike/a.json", settings)
        write("alike/b.json", dict(settings, clock="device"))
        rc, _, err = run(tool, os.path.join(tmp, "alike"), plain)
        check(rc == 2 and "clock: host in " in err and "b.json" in err,
              f"a folder of different runs: {rc} {err}")

        # All-gather rows repeat once per -r operation: compared once, without a warning; a
        # reduction's row that appears twice (files joined) still warns.
        gathered = dict(BASE, collective="AllGather",
                        rows=[dict(r, redop=None) for r in BASE["rows"]] * 3)
        path = write("gathered.json", gathered)
        rc, out, err = run(tool, path, path)
        check(rc == 0 and "4 rows compared" in out and "appears twice" not in err,
              f"repeated all-gather rows: {rc} {out} {err}")
        twice = write("twice.json", dict(BASE, rows=BASE["rows"] * 2))
        check("appears twice" in run(tool, twice, base)[2], "a repeated reduction row warns")

        # A CSV file matches a record: modes by name, the reduce operation column.
        csv_path = os.path.join(fixtures, "reduce_two_modes.csv")
        rc, out, err = run(tool, csv_path, csv_path)
        check(rc == 0 and "11 rows compared" in out and out.count(" n/a") == 1,
              f"CSV against itself (one row of 0 GB/s): {rc} {out} {err}")
        from_csv = copy.deepcopy(BASE)
        from_csv["rows"] = [row(4096, "inplace", 0.26, 23.194), row(4096, "outofplace", 0.2, 1)]
        rc, out, _ = run(tool, csv_path, write("csv_like.json", from_csv))
        check(rc == 1 and out.count("  regressed (threshold)") == 1 and "rows only in base: 10" in out,
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
        if has_scipy():
            check_statistics(tool, write, tmp)
        else:
            print("scipy missing (python3-scipy): the statistics are not checked")
    return summary()


if __name__ == "__main__":
    sys.exit(main())
