"""Checks of tools/plot_results.py.

Usage: test_plot_results.py TOOL FIXTURE_DIR input|draw
  input: reading of the result files and the errors for bad input (no matplotlib needed)
  draw:  PNG output; exits 77 (skipped) when matplotlib cannot be imported
"""
import json
import os
import sys
import tempfile

sys.dont_write_bytecode = True  # the shared checks beside this file; keep the tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tooltest import check, run, summary  # noqa: E402

SKIPPED = 77


def expect_error(tool, what, text, *args):
    rc, out, err = run(tool, *args)
    check(rc == 1, f"{what}: status {rc}, want 1 ({err.strip()})")
    check(text in err, f"{what}: message lacks '{text}': {err.strip()}")
    check("Traceback" not in err, f"{what}: Python traceback: {err}")


def input_checks(tool, fixtures, tmp):
    sys.dont_write_bytecode = True  # keep the source tree clean
    sys.path.insert(0, os.path.dirname(os.path.abspath(tool)))
    import plot_results as mod

    # One series per type, operation and mode, points in file order.
    series = mod.read_results(os.path.join(fixtures, "reduce_two_modes.csv"))
    check(sorted(series) == [("float", "sum", "in"), ("float", "sum", "out"),
                             ("int8", "sum", "in"), ("int8", "sum", "out")],
          f"reduce series keys: {sorted(series)}")
    check(series[("float", "sum", "out")] == [(4096, 24.371, 0.25), (16384, 30.925, 0.79),
                                              (65536, 45.107, 2.18)],
          f"reduce out-of-place points: {series[('float', 'sum', 'out')]}")
    # Without a redop column the bus bandwidth is the sixth field, not the seventh.
    series = mod.read_results(os.path.join(fixtures, "gather_one_mode.csv"))
    check(series == {("float", "", "out"): [(8192, 12.5, 0.49), (32768, 15.0, 1.64),
                                            (131072, 31.25, 3.15)]},
          f"gather series: {series}")

    check([mod.size_text(v) for v in (1, 1000, 1024, 4096, 1536, 1 << 20, 128 << 20, 1 << 31)]
          == ["1", "1000", "1K", "4K", "1536", "1M", "128M", "2G"], "byte labels")
    check(mod.default_labels(["s2/output.csv", "s4/output.csv"])
          == ["s2/output.csv", "s4/output.csv"], "labels of clashing file names")

    # A run that stopped early leaves a last row with one mode group: skipped with a warning.
    reduce_text = open(os.path.join(fixtures, "reduce_two_modes.csv")).read()
    cut = os.path.join(tmp, "cut.csv")
    with open(cut, "w") as f:
        f.write(reduce_text + "262144,65536,float,sum,124.467,2.11,3.16,0,")
    series = mod.read_results(cut)
    check(len(series[("float", "sum", "in")]) == 3, "truncated row taken as data")
    check(len(series[("float", "sum", "out")]) == 3, "truncated row taken as data (out)")

    def write(name, text):
        path = os.path.join(tmp, name)
        with open(path, "wb") as f:
            f.write(text)
        return path

    header = reduce_text.splitlines()[0]
    expect_error(tool, "malformed header", "unknown CSV header",
                 os.path.join(fixtures, "malformed.csv"))
    expect_error(tool, "missing file", "cannot read", os.path.join(tmp, "nothing.csv"))
    expect_error(tool, "empty file", "empty file", write("empty.csv", b"\n\n"))
    expect_error(tool, "header only", "no data rows", write("head.csv", header.encode() + b"\n"))
    expect_error(tool, "rows not numbers", "no data rows",
                 write("words.csv", (header + "\nbig,1,float,sum" + ",x" * 8 + "\n").encode()))
    expect_error(tool, "mode group cut", "unknown CSV header",
                 write("group.csv", b"bytes,count,type,in-avg-lat(us),in-algo-bw(GB/s)\n"))
    expect_error(tool, "binary file", "cannot read", write("bin.csv", b"\xff\xfe\x00\x81"))
    # A bad second file fails the whole call before anything is drawn.
    out = os.path.join(tmp, "none.png")
    expect_error(tool, "second file bad", "malformed.csv",
                 os.path.join(fixtures, "gather_one_mode.csv"),
                 os.path.join(fixtures, "malformed.csv"), "-o", out)
    check(not os.path.exists(out), "picture written despite bad input")
    expect_error(tool, "label count", "1 --label for 2 files", "--label", "a",
                 os.path.join(fixtures, "gather_one_mode.csv"),
                 os.path.join(fixtures, "reduce_two_modes.csv"))
    record_checks(tool, fixtures, tmp)


def record(collective, ranks, rows):
    return {"program": "bench", "collective": collective, "ranks": ranks, "processes": 2,
            "rows": [{"bytes": b, "count": b // 4, "type": t, "redop": op, "mode": m,
                      "latency_us": lat, "algbw_gbs": bus, "busbw_gbs": bus, "errors": 0}
                     for b, t, op, m, lat, bus in rows]}


RECORD_ROWS = [(4096, "float", "sum", "inplace", 10.0, 0.5),
               (4096, "float", "sum", "outofplace", 11.0, 0.45),
               (65536, "float", "sum", "inplace", 20.0, 4.0),
               (1024, "int8", "sum", "inplace", 9.0, 0.1),
               (0, "int8", "sum", "inplace", 1.0, 0.0)]


def write_json(tmp, name, doc):
    path = os.path.join(tmp, name)
    with open(path, "w") as f:
        json.dump(doc, f)
    return path


def record_checks(tool, fixtures, tmp):
    import plot_results as mod

    path = write_json(tmp, "reduce.json", record("AllReduce", 4, RECORD_ROWS))
    series = mod.read_results(path)
    check(series == {("float", "sum", "in"): [(4096, 10.0, 0.5), (65536, 20.0, 4.0)],
                     ("float", "sum", "out"): [(4096, 11.0, 0.45)],
                     ("int8", "sum", "in"): [(1024, 9.0, 0.1)]},
          f"record series: {series}")
    only = mod.read_results(path, mod.Filters(types={"float"}, modes={"outofplace"}))
    check(list(only) == [("float", "sum", "out")], f"filtered series: {list(only)}")
    files = [mod.rf.read(path, mod.warn)]
    check(mod.default_title(files) == "AllReduce, 4 ranks in 2 processes",
          f"title: {mod.default_title(files)}")
    # CSV files say neither collective nor ranks: their folders make the title.
    csv_files = [mod.rf.read(os.path.join(fixtures, n), mod.warn)
                 for n in ("reduce_two_modes.csv", "gather_one_mode.csv")]
    check(mod.default_title(csv_files) == os.path.basename(fixtures),
          f"CSV title: {mod.default_title(csv_files)}")

    # Facets: a row per type and a column per operation; without operations rows of four.
    facets = [("float", "sum"), ("float", "max"), ("int8", "sum"), ("int8", "max")]
    check(mod.grid_shape(facets) == (2, 2, {("float", "sum"): (0, 0), ("float", "max"): (0, 1),
                                            ("int8", "sum"): (1, 0), ("int8", "max"): (1, 1)}),
          f"grid of types and operations: {mod.grid_shape(facets)}")
    rows, columns, place = mod.grid_shape([(t, "") for t in "abcdef"])
    check((rows, columns, place[("e", "")], place[("f", "")]) == (2, 4, (1, 0), (1, 1)),
          f"grid of six types: {rows} {columns} {place}")
    check(mod.facets_of([("a", {("float", "sum", "in"): [], ("float", "sum", "out"): []}, {}),
                         ("b", {("int8", "", "in"): []}, {})])
          == [("float", "sum"), ("int8", "")], "facets in the order first met")

    # Bands: p10 and p90 of the blocks, latency and bus bandwidth (the row's scaled by the
    # times); rows of one block have none.
    blocks = record("AllReduce", 2, RECORD_ROWS[:2])
    blocks["rows"][0]["samples_us"] = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 70.0, 80.0, 90.0,
                                       100.0, 110.0]
    blocks["rows"][0]["latency_us"] = 60.0
    blocks["rows"][0]["busbw_gbs"] = 6.0
    blocks["rows"][1]["samples_us"] = [11.0]
    bands = mod.bands_of(mod.rf.read(write_json(tmp, "blocks.json", blocks), mod.warn))
    lat, bus = bands[("float", "sum", "in")][4096]
    check(lat == (20.0, 100.0) and abs(bus[0] - 3.6) < 1e-9 and abs(bus[1] - 18.0) < 1e-9,
          f"bands: {bands}")
    check(("float", "sum", "out") not in bands, f"one block, no band: {bands}")
    check(mod.percentile([3, 1, 2, 4], 50) == 2.5 and mod.percentile([5], 90) == 5,
          "percentiles")

    gather = write_json(tmp, "gather.json", record("AllGather", 4, RECORD_ROWS[:1]))
    expect_error(tool, "mixed collectives", "different collectives", path, gather)
    expect_error(tool, "mixed with the baseline", "different collectives", "--baseline",
                 gather, path)
    expect_error(tool, "filter leaves nothing", "none matches", "--op", "max", path)
    expect_error(tool, "unknown mode", "the modes are inplace and outofplace", "--mode",
                 "both", path)
    expect_error(tool, "not a record", "not a run record", write_json(tmp, "x.json", {"a": 1}))


def draw_checks(tool, fixtures, tmp):
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("matplotlib is not installed: skipped")
        return SKIPPED
    out = os.path.join(tmp, "both.png")
    rc, stdout, err = run(tool, "-o", out, "--label", "reduce",
                          os.path.join(fixtures, "reduce_two_modes.csv"), "--label", "gather",
                          os.path.join(fixtures, "gather_one_mode.csv"), "--title", "t")
    check(rc == 0, f"plot of two files: status {rc}: {err}")
    # Four lines of the reduce file (two types, two modes), one of the gather file.
    check("5 lines from 2 files" in stdout, f"line count: {stdout}")
    with open(out, "rb") as f:
        check(f.read(8) == b"\x89PNG\r\n\x1a\n", "output is not a PNG")
    # Records of two runs against a baseline, filtered, the legend beside the axes.
    base = write_json(tmp, "base.json", record("AllReduce", 2, RECORD_ROWS))
    new = write_json(tmp, "new.json", record("AllReduce", 4, RECORD_ROWS))
    out = os.path.join(tmp, "ratio.png")
    rc, stdout, err = run(tool, "-o", out, "--baseline", base, "--mode", "inplace", new,
                          os.path.join(fixtures, "reduce_two_modes.csv"))
    check(rc == 0, f"plot against a baseline: status {rc}: {err}")
    # In-place only: two lines of the record (float, int8), two of the CSV file.
    check("4 lines from 2 files" in stdout, f"baseline line count: {stdout}")
    check(os.path.getsize(out) > 0, "baseline picture empty")
    # Several types and operations with blocks: panels, bands; latency panels; a baseline.
    rows = [(b, t, op, m, 10.0 * b / 1024, b / 4096) for b in (1024, 4096, 16384)
            for t in ("float", "int8") for op in ("sum", "max") for m in ("inplace", "outofplace")]
    many = record("AllReduce", 2, rows)
    for r in many["rows"]:
        r["samples_us"] = [r["latency_us"] * f for f in (0.8, 1.0, 1.0, 1.3)]
    many_path = write_json(tmp, "many.json", many)
    for extra in ([], ["--metric", "latency"], ["--baseline", many_path]):
        out = os.path.join(tmp, f"facets{len(extra)}.png")
        rc, stdout, err = run(tool, "-o", out, many_path, *extra)
        check(rc == 0 and "8 lines from 1 files" in stdout and os.path.getsize(out) > 0,
              f"facets {extra}: status {rc}: {stdout} {err}")
    expect_error(tool, "unwritable output", "cannot write", "-o",
                 os.path.join(tmp, "no-dir", "x.png"),
                 os.path.join(fixtures, "gather_one_mode.csv"))
    return 0


def main():
    tool, fixtures, what = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as tmp:
        rc = (input_checks if what == "input" else draw_checks)(tool, fixtures, tmp)
    if rc == SKIPPED:
        return SKIPPED
    return summary()


if __name__ == "__main__":
    sys.exit(main())
