#!/usr/bin/env python3
"""Compare a new benchmark run with a saved one and flag the rows that got worse.

Reads two run records (BENCHMARK_RECORD=PATH) or two result CSV files (-p), matches their rows by
bytes, count, type, reduce operation and buffer mode, prints base, new and their ratio per row
and flags each row whose metric is worse by more than the threshold. Exit status: 0 when no row
regressed, 1 when one did, 2 when an input cannot be read or the files cannot be compared.
"""
import argparse
import math
import os
import sys

sys.dont_write_bytecode = True  # the shared reader beside this file; keep the tree clean
import result_files as rf  # noqa: E402

PROG = os.path.basename(__file__)
METRICS = {
    # name: (row field, what it is, whether higher is better)
    "busbw": ("busbw_gbs", "bus bandwidth (GB/s)", True),
    "latency": ("latency_us", "average latency (us)", False),
}


def warn(msg):
    print(f"{PROG}: warning: {msg}", file=sys.stderr)


def threshold_value(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'")
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more percent, not {text}")
    return value


def index_rows(results):
    """{key: row}, the first of rows with the same key (files joined with cat)."""
    rows = {}
    for row in results.rows:
        key = rf.row_key(row)
        if key in rows:
            warn(f"{results.path}: row {rf.key_text(key)} appears twice, the first one is used")
            continue
        rows[key] = row
    return rows


def describe(label, results):
    text = f"{label}: {results.path}"
    details = results.describe()
    meta = results.meta or {}
    if meta.get("started"):
        details += (", " if details else "") + f"started {meta['started']}"
    if details:
        text += f" ({details})"
    return text


def check_run(label, results):
    """Warns about a recorded run that did not pass: its numbers may not mean much."""
    meta = results.meta
    if not meta:
        return
    verdict, error = meta.get("verdict"), meta.get("error")
    if verdict != "PASSED" or error:
        what = f"verdict {verdict}" if verdict else "no verdict"
        warn(f"the {label} run did not pass ({what}" + (f": {error}" if error else "") + ")")


def sort_key(key):
    bytes_, count, dtype, redop, mode = key
    return (dtype, redop or "", bytes_, count, mode != "inplace")


def compare(base, new, metric, threshold, out):
    """Prints the comparison; returns (rows compared, keys regressed)."""
    field, _, higher_better = METRICS[metric]
    base_rows, new_rows = index_rows(base), index_rows(new)
    common = sorted(set(base_rows) & set(new_rows), key=sort_key)
    out.write(f"{'bytes':>12} {'count':>12} {'type':>8} {'redop':>5} {'mode':>10} "
              f"{'base':>12} {'new':>12} {'ratio':>7}\n")
    compared, regressed = 0, []
    for key in common:
        b, n = base_rows[key][field], new_rows[key][field]
        flag = ""
        if b is None or n is None or b <= 0:
            ratio_text = "n/a"
        else:
            ratio = n / b
            compared += 1
            ratio_text = f"{ratio:.3f}"
            worse = ratio < 1 - threshold / 100 if higher_better else ratio > 1 + threshold / 100
            if worse:
                flag = "  REGRESSED"
                regressed.append(key)
        bytes_, count, dtype, redop, mode = key
        shown = ["n/a" if v is None else f"{v:.6g}" for v in (b, n)]
        out.write(f"{bytes_:>12} {count:>12} {dtype:>8} {redop or '-':>5} {mode:>10} "
                  f"{shown[0]:>12} {shown[1]:>12} {ratio_text:>7}{flag}\n")
    for label, only in (("base", set(base_rows) - set(new_rows)),
                        ("new", set(new_rows) - set(base_rows))):
        if only:
            keys = sorted(only, key=sort_key)
            listed = "; ".join(rf.key_text(k) for k in keys[:10])
            more = f"; and {len(keys) - 10} more" if len(keys) > 10 else ""
            out.write(f"rows only in {label}: {len(keys)} ({listed}{more})\n")
    return len(common), compared, regressed


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Compare a new benchmark run with a saved one. BASE and NEW are run\n"
                    "records (BENCHMARK_RECORD=PATH) or result CSV files (-p); rows are\n"
                    "matched by bytes, count, type, reduce operation and buffer mode.\n"
                    "Exit status: 0 no row regressed, 1 some row regressed, 2 the files\n"
                    "cannot be read or compared.",
        epilog="example:\n"
               "  BENCHMARK_RECORD=base.json build/bin/bench-allreduce -n 1K -x 1M -m 4 -s 2\n"
               "  BENCHMARK_RECORD=new.json build/bin/bench-allreduce -n 1K -x 1M -m 4 -s 2\n"
               f"  {PROG} base.json new.json --threshold 10")
    parser.add_argument("base", metavar="BASE", help="the saved run")
    parser.add_argument("new", metavar="NEW", help="the run to check")
    parser.add_argument("--threshold", type=threshold_value, default=5.0, metavar="PCT",
                        help="percent by which a row may be worse before it counts as a "
                             "regression (default: 5)")
    parser.add_argument("--metric", choices=sorted(METRICS), default="busbw",
                        help="busbw: bus bandwidth, higher is better (default); latency: "
                             "average latency, lower is better")
    parser.add_argument("--force", action="store_true",
                        help="compare records of different collectives all the same")
    args = parser.parse_args(argv)
    field, what, higher_better = METRICS[args.metric]
    try:
        base = rf.read(args.base, warn)
        new = rf.read(args.new, warn)
        for results in (base, new):
            if not results.rows:
                raise rf.InputError(f"{results.path}: no data rows")
        if base.collective and new.collective and base.collective != new.collective \
                and not args.force:
            raise rf.InputError(f"{base.path} holds {base.collective} and {new.path} holds "
                                f"{new.collective}; use --force to compare them anyway")
    except rf.InputError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    out = sys.stdout
    out.write(describe("base", base) + "\n" + describe("new", new) + "\n")
    out.write(f"metric: {what}, {'higher' if higher_better else 'lower'} is better; a row "
              f"regressed when worse by more than {args.threshold:g}%\n")
    check_run("base", base)
    check_run("new", new)
    common, compared, regressed = compare(base, new, args.metric, args.threshold, out)
    if common == 0:
        print(f"{PROG}: error: no row is in both files", file=sys.stderr)
        return 2
    if compared == 0:
        hint = " (bus bandwidth is 0 with one rank: try --metric latency)" \
            if args.metric == "busbw" else ""
        print(f"{PROG}: error: no row has a base value to compare with{hint}", file=sys.stderr)
        return 2
    if regressed:
        out.write(f"{len(regressed)} of {compared} rows regressed by more than "
                  f"{args.threshold:g}%:\n")
        for key in regressed:
            out.write(f"  {rf.key_text(key)}\n")
        return 1
    out.write(f"no regression: {compared} rows compared, none worse by more than "
              f"{args.threshold:g}%\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
