#!/usr/bin/python3
"""Compare a new benchmark run with a saved one and flag the rows that got worse.

BASE and NEW are each a run record (BENCHMARK_RECORD=PATH), a result CSV file (-p) or a
directory of records of one configuration (every *.json in it). Rows are matched by bytes,
count, type, reduce operation and buffer mode. A row's samples are the timed blocks of
BENCHMARK_REPEAT (one per record without them), pooled over the records of a side; with 5 runs
or more on both sides a run gives one sample instead, its median block, so that a run which
started at a bad moment counts once. A row with at least 5 samples on both sides is judged by
a two-sided Mann-Whitney U test, Holm-adjusted over all tested rows; it regressed when the test is
significant and its median is worse by more than the threshold. Rows with fewer samples are
judged by the threshold alone. Exit status: 0 when no row regressed, 1 when one did, 2 when an
input cannot be read or the inputs cannot be compared.
"""
import argparse
import collections
import math
import os
import statistics
import sys

sys.dont_write_bytecode = True  # the shared reader beside this file; keep the tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import result_files as rf  # noqa: E402

PROG = os.path.basename(__file__)
METRICS = {
    # name: (row field, what it is, whether higher is better)
    "busbw": ("busbw_gbs", "bus bandwidth (GB/s)", True),
    "latency": ("latency_us", "average latency (us)", False),
}
MIN_SAMPLES = 5  # fewer on a side: the test cannot tell anything at usual alpha levels
SCIPY_HINT = (f"install Debian's python3-scipy (apt-get install -y python3-scipy) and run "
              f"{rf.SYSTEM_PYTHON} tools/{PROG}")


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


def alpha_value(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: '{text}'")
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, not {text}")
    return value


def index_rows(results):
    """{key: row}, the first of rows with the same key (files joined with cat). Rows without a
    reduce operation repeat once per -r operation (all-gather, all-to-all): the same row, said
    nothing about."""
    rows = {}
    for row in results.rows:
        key = rf.row_key(row)
        if key in rows:
            if row["redop"] is not None:
                warn(f"{results.path}: row {rf.key_text(key)} appears twice, the first one is "
                     "used")
            continue
        rows[key] = row
    return rows


# What two runs must share to be compared: (record field, name in messages).
SETTINGS = (("program", "program"), ("ranks", "ranks"), ("processes", "processes"),
            ("clock", "clock"), ("loop", "-l"), ("warmup", "-w"), ("datacheck", "-d (data check)"),
            ("alltoall_api", "all-to-all interface"), ("types", "types"))


def settings(results):
    """{name: value} of the settings a record states (a CSV file states none). The types are
    those of its rows, taken only from a run that reached its verdict: one cut short holds
    fewer, and says so itself."""
    found = {}
    if results.meta and results.meta.get("verdict"):
        found["types"] = " ".join(sorted({row["type"] for row in results.rows}))
    for field, _ in SETTINGS:
        value = (results.meta or {}).get(field)
        if value is not None and field != "types":
            found[field] = value
    return found


def differences(base, new):
    """Lines naming each setting in which a record differs from the first of base."""
    first = base.results[0]
    reference = settings(first)
    lines, seen = [], set()
    for results in base.results[1:] + new.results:
        theirs = settings(results)
        for field, name in SETTINGS:
            a, b = reference.get(field), theirs.get(field)
            if a is None or b is None or a == b or (field, a, b) in seen:
                continue
            seen.add((field, a, b))
            shown = [json_text(v) for v in (a, b)]
            lines.append(f"{name}: {shown[0]} in {first.path}, {shown[1]} in {results.path}")
    return lines


def json_text(value):
    if isinstance(value, bool):
        return "on" if value else "off"
    return str(value)


def samples_of(runs, per_run=False):
    """The samples of a row's runs: every block pooled, or with `per_run` one per run, the
    median of its blocks."""
    if per_run:
        return [statistics.median(values) for values in runs]
    return [v for values in runs for v in values]


class Side:
    """One side of the comparison: its files and, per row, the pooled samples of a field."""

    def __init__(self, path, results):
        self.path = path
        self.results = results
        self.indexed = [index_rows(r) for r in results]

    @property
    def collectives(self):
        return sorted({r.collective for r in self.results if r.collective})

    def keys(self):
        return set().union(*self.indexed)

    def runs(self, key, field):
        """The row's samples of `field`, a list per run that has them."""
        found = []
        for rows in self.indexed:
            if key in rows:
                values = rf.samples(rows[key], field)
                if values:
                    found.append(values)
        return found

    def samples(self, key, field, per_run=False):
        return samples_of(self.runs(key, field), per_run)

    def describe(self, label):
        if len(self.results) == 1:
            results = self.results[0]
            text = f"{label}: {results.path}"
            details = results.describe()
            meta = results.meta or {}
            if meta.get("started"):
                details += (", " if details else "") + f"started {meta['started']}"
            return text + (f" ({details})" if details else "")
        first = self.results[0]
        details = first.describe()
        started = sorted(r.meta["started"] for r in self.results
                         if r.meta and r.meta.get("started"))
        if started:
            details += (", " if details else "") + f"started {started[0]} to {started[-1]}"
        return f"{label}: {self.path} ({len(self.results)} records" + \
            (f": {details}" if details else "") + ")"

    def check_runs(self, label):
        """Warns about a recorded run that did not pass: its numbers may not mean much."""
        for results in self.results:
            meta = results.meta
            if not meta:
                continue
            verdict, error = meta.get("verdict"), meta.get("error")
            if verdict != "PASSED" or error:
                what = f"verdict {verdict}" if verdict else "no verdict"
                which = label if len(self.results) == 1 else f"{label} run {results.path}"
                warn(f"the {which} did not pass ({what}" + (f": {error}" if error else "") + ")")


def sort_key(key):
    bytes_, count, dtype, redop, mode = key
    return (dtype, redop or "", bytes_, count, mode != "inplace")


def mann_whitney_p(stats, base, new):
    """Two-sided p-value of the Mann-Whitney U test; 1 where every sample is the same value
    (no order to test: both sides are alike)."""
    if min(base + new) == max(base + new):
        return 1.0
    p = float(stats.mannwhitneyu(base, new, alternative="two-sided").pvalue)
    return 1.0 if math.isnan(p) else p


def clustered_p(stats, base_runs, new_runs):
    """Two-sided p-value of the Mann-Whitney U test over blocks that come in runs. The blocks
    of one run share its start (load, thread placement), so they are not independent samples:
    the variance of the rank sum is widened by the design effect 1 + (k - 1) ICC, ICC being
    the share of the ranks' variance that lies between the runs of a side (a one-way analysis
    of variance within each side), and the p-value is Student's t with as many degrees of
    freedom as the blocks are worth (N / design effect, less 2), never fewer than the runs
    less 2. Runs that agree keep the power of their pooled blocks; runs that differ count for
    little more than one sample each."""
    runs = base_runs + new_runs
    base = [v for r in base_runs for v in r]
    new = [v for r in new_runs for v in r]
    if len(runs) <= 2 or all(len(r) == 1 for r in runs):
        return mann_whitney_p(stats, base, new)  # no runs to tell apart: the exact test
    values = base + new
    if min(values) == max(values):
        return 1.0
    total, n1 = len(values), len(base)
    ties = sum(t ** 3 - t for t in collections.Counter(values).values())
    v0 = n1 * (total - n1) / 12 * ((total + 1) - ties / (total * (total - 1)))
    ranks = iter(stats.rankdata(values))
    ranked = [[next(ranks) for _ in r] for r in runs]
    between = within = 0.0
    df_between = df_within = 0
    for side in (ranked[:len(base_runs)], ranked[len(base_runs):]):
        side_mean = sum(map(sum, side)) / sum(map(len, side))
        for r in side:
            m = sum(r) / len(r)
            between += len(r) * (m - side_mean) ** 2
            within += sum((x - m) ** 2 for x in r)
        df_between += len(side) - 1
        df_within += sum(map(len, side)) - len(side)
    k = total / len(runs)
    icc = 0.0
    if df_between > 0 and df_within > 0:
        ms_between, ms_within = between / df_between, within / df_within
        if ms_between + (k - 1) * ms_within > 0:
            icc = max(0.0, (ms_between - ms_within) / (ms_between + (k - 1) * ms_within))
    effect = 1 + (k - 1) * icc
    rank_sum = sum(map(sum, ranked[:len(base_runs)]))
    z = (rank_sum - n1 * (total + 1) / 2) / math.sqrt(v0 * effect)
    df = max(len(runs) - 2, total / effect - 2)
    p = float(2 * stats.t.sf(abs(z), df))
    return 1.0 if math.isnan(p) else min(1.0, p)


def holm(pvalues):
    """Holm's step-down adjustment: the family-wise error rate over all of them at most alpha
    when the rows whose adjusted value is at most alpha are taken as changed."""
    order = sorted(range(len(pvalues)), key=lambda i: pvalues[i])
    adjusted, running = [1.0] * len(pvalues), 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (len(pvalues) - rank) * pvalues[i]))
        adjusted[i] = running
    return adjusted


def judge(ratio, higher_better, threshold, significant=True):
    """'regressed', 'improved' or '~' for a new/base ratio of medians."""
    worse = ratio < 1 - threshold / 100 if higher_better else ratio > 1 + threshold / 100
    better = ratio > 1 + threshold / 100 if higher_better else ratio < 1 - threshold / 100
    if significant and worse:
        return "regressed"
    if significant and better:
        return "improved"
    return "~"


def resolve_unit(base, new, unit="auto"):
    """The unit of the test: --unit, or by default the block, with the runs as clusters where
    a side holds several runs."""
    if unit != "auto":
        return unit
    return "cluster" if max(len(base.results), len(new.results)) > 1 else "block"


def unit_text(base, new, unit):
    runs = f"{len(base.results)} and {len(new.results)} runs"
    if unit == "run":
        return f"unit of the test: the run (--unit run: the median block of each run; {runs})"
    if unit == "cluster":
        return (f"unit of the test: the timed block, runs as clusters ({runs}; the blocks of "
                "runs that differ count for fewer samples)")
    if max(len(base.results), len(new.results)) > 1:
        return f"unit of the test: the timed block (--unit block: all runs pooled; {runs})"
    return "unit of the test: the timed block (BENCHMARK_REPEAT)"


def compare(base, new, metric, threshold, alpha, stats, out, unit="block"):
    """Prints the comparison; returns (rows in common, rows compared, keys regressed, rows
    tested)."""
    field, _, higher_better = METRICS[metric]
    common = sorted(base.keys() & new.keys(), key=sort_key)
    lines = []
    for key in common:
        b_runs, n_runs = base.runs(key, field), new.runs(key, field)
        b, n = (samples_of(runs, unit == "run") for runs in (b_runs, n_runs))
        line = {"key": key, "b": b, "n": n, "p": None}
        if b and n:
            line["mb"], line["mn"] = statistics.median(b), statistics.median(n)
        if b and n and line["mb"] > 0:
            line["ratio"] = line["mn"] / line["mb"]
            if stats is not None and min(len(b), len(n)) >= MIN_SAMPLES:
                line["p"] = clustered_p(stats, b_runs, n_runs) \
                    if unit == "cluster" else mann_whitney_p(stats, b, n)
        lines.append(line)
    tested = [line for line in lines if line["p"] is not None]
    for line, adjusted in zip(tested, holm([line["p"] for line in tested])):
        line["p_adj"] = adjusted
    out.write(f"{'bytes':>12} {'count':>12} {'type':>8} {'redop':>5} {'mode':>10} "
              f"{'base':>12} {'new':>12} {'ratio':>7} {'p(adj)':>9} {'samples':>11}  verdict\n")
    compared, regressed, by_threshold = 0, [], 0
    for line in lines:
        key = line["key"]
        verdict, p_text = "", "-"
        if "ratio" in line:
            compared += 1
            ratio_text = f"{line['ratio']:.3f}"
            if line["p"] is not None:
                p_text = f"{line['p_adj']:.2g}"
                verdict = judge(line["ratio"], higher_better, threshold, line["p_adj"] <= alpha)
            else:
                by_threshold += 1
                verdict = judge(line["ratio"], higher_better, threshold) + " (threshold)"
            if verdict.startswith("regressed"):
                regressed.append(key)
        else:
            ratio_text = "n/a"
        bytes_, count, dtype, redop, mode = key
        shown = [f"{line[m]:.6g}" if m in line else "n/a" for m in ("mb", "mn")]
        counts = f"{len(line['b'])}/{len(line['n'])}"
        out.write(f"{bytes_:>12} {count:>12} {dtype:>8} {redop or '-':>5} {mode:>10} "
                  f"{shown[0]:>12} {shown[1]:>12} {ratio_text:>7} {p_text:>9} {counts:>11}"
                  f"  {verdict}".rstrip() + "\n")
    for label, only in (("base", base.keys() - new.keys()), ("new", new.keys() - base.keys())):
        if only:
            keys = sorted(only, key=sort_key)
            listed = "; ".join(rf.key_text(k) for k in keys[:10])
            more = f"; and {len(keys) - 10} more" if len(keys) > 10 else ""
            out.write(f"rows only in {label}: {len(keys)} ({listed}{more})\n")
    if by_threshold and tested:
        out.write(f"(threshold): fewer than {MIN_SAMPLES} samples on a side, judged by the "
                  f"threshold alone\n")
    return len(common), compared, regressed, len(tested)


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Compare a new benchmark run with a saved one. BASE and NEW are run\n"
                    "records (BENCHMARK_RECORD=PATH), result CSV files (-p) or directories\n"
                    "of records of one configuration (every *.json); rows are matched by\n"
                    "bytes, count, type, reduce operation and buffer mode. A row's samples\n"
                    "are its BENCHMARK_REPEAT blocks (one per record without them), pooled\n"
                    "over a side's records, the test counting the blocks of runs that differ\n"
                    "as fewer samples (the runs are clusters). "
                    f"Rows with {MIN_SAMPLES} or more samples\non both sides are "
                    "judged by a two-sided Mann-Whitney U test, Holm-adjusted\nover the tested "
                    "rows at --alpha: 'regressed' when significant and the median is\nworse "
                    "by more than --threshold, 'improved' likewise, '~' otherwise. Rows with\n"
                    "fewer samples are judged by the threshold alone, as marked.\n"
                    "Records whose settings differ (ranks, processes, clock, -l, -w, -d,\n"
                    "program, all-to-all interface, types) are not compared without --force.\n"
                    "Exit status: 0 no row regressed, 1 some row regressed, 2 the files\n"
                    "cannot be read or compared.",
        epilog="example:\n"
               "  BENCHMARK_REPEAT=10 BENCHMARK_RECORD=base.json build/bin/bench-allreduce "
               "-n 1K -x 1M -m 4 -s 2\n"
               "  BENCHMARK_REPEAT=10 BENCHMARK_RECORD=new.json build/bin/bench-allreduce "
               "-n 1K -x 1M -m 4 -s 2\n"
               f"  {PROG} base.json new.json --threshold 10\n"
               "tools/ab_compare.py runs two commands in turn and compares them this way.")
    parser.add_argument("base", metavar="BASE", help="the saved run(s)")
    parser.add_argument("new", metavar="NEW", help="the run(s) to check")
    parser.add_argument("--threshold", type=threshold_value, default=5.0, metavar="PCT",
                        help="percent by which a row's median may be worse before it counts "
                             "as a regression (default: 5)")
    parser.add_argument("--alpha", type=alpha_value, default=0.05,
                        help="family-wise error rate over the tested rows (default: 0.05)")
    parser.add_argument("--metric", choices=sorted(METRICS), default="busbw",
                        help="busbw: bus bandwidth, higher is better (default); latency: "
                             "average latency, lower is better")
    parser.add_argument("--unit", choices=("auto", "run", "block"), default="auto",
                        help="the samples of the test: each run's median block (run), every "
                             "timed block as if independent (block), or every block with the "
                             "runs as clusters where a side holds several (auto, the default)")
    parser.add_argument("--force", action="store_true",
                        help="compare records of different collectives or settings all the "
                             "same (the differences are printed as warnings)")
    args = parser.parse_args(argv)
    _, what, higher_better = METRICS[args.metric]
    try:
        base = Side(args.base, rf.read_all(args.base, warn))
        new = Side(args.new, rf.read_all(args.new, warn))
        for side in (base, new):
            for results in side.results:
                if not results.rows:
                    raise rf.InputError(f"{results.path}: no data rows")
            if len(side.collectives) > 1 and not args.force:
                raise rf.InputError(f"{side.path} holds records of {' and '.join(side.collectives)}"
                                    "; a directory must hold runs of one configuration (or "
                                    "use --force)")
        if base.collectives and new.collectives and base.collectives != new.collectives \
                and not args.force:
            raise rf.InputError(f"{args.base} holds {', '.join(base.collectives)} and {args.new} "
                                f"holds {', '.join(new.collectives)}; use --force to compare "
                                "them anyway")
        differ = differences(base, new)
        if differ and not args.force:
            raise rf.InputError("the runs were not made alike, use --force to compare them "
                                "anyway:\n  " + "\n  ".join(differ))
        for line in differ:
            warn(f"compared although the runs differ: {line}")
    except rf.InputError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    out = sys.stdout
    out.write(base.describe("base") + "\n" + new.describe("new") + "\n")
    out.write(f"metric: {what}, {'higher' if higher_better else 'lower'} is better; a row "
              f"regressed when worse by more than {args.threshold:g}%\n")
    unit = resolve_unit(base, new, args.unit)
    by_run = unit == "run"
    testable = [k for k in base.keys() & new.keys()
                if min(len(base.samples(k, "latency_us", by_run)),
                       len(new.samples(k, "latency_us", by_run))) >= MIN_SAMPLES]
    # scipy takes longer to import than the rest of a comparison takes: only when it is used.
    stats = None
    if testable:
        try:
            import scipy.stats as stats
        except ImportError:
            pass
    if stats is not None and testable:
        out.write(f"rows with {MIN_SAMPLES} or more samples on both sides: medians compared, "
                  f"and a two-sided Mann-Whitney U test at alpha {args.alpha:g} over all tested "
                  f"rows (Holm); {unit_text(base, new, unit)}\n")
    base.check_runs("base")
    new.check_runs("new")
    common, compared, regressed, tested = compare(base, new, args.metric, args.threshold,
                                                  args.alpha, stats, out, unit)
    if stats is None and testable:
        warn(f"scipy is not available to {sys.executable}: every row was judged by the "
             f"threshold alone; {SCIPY_HINT}")
    if common == 0:
        print(f"{PROG}: error: no row is in both files", file=sys.stderr)
        return 2
    if compared == 0:
        hint = " (bus bandwidth is 0 with one rank: try --metric latency)" \
            if args.metric == "busbw" else ""
        print(f"{PROG}: error: no row has a base value to compare with{hint}", file=sys.stderr)
        return 2
    significant = f", significant at alpha {args.alpha:g}" if tested else ""
    if regressed:
        out.write(f"{len(regressed)} of {compared} rows regressed by more than "
                  f"{args.threshold:g}%{significant}:\n")
        for key in regressed:
            out.write(f"  {rf.key_text(key)}\n")
        return 1
    out.write(f"no regression: {compared} rows compared, none worse by more than "
              f"{args.threshold:g}%{significant}\n")
    return 0


if __name__ == "__main__":
    rf.python_with("scipy.stats")
    sys.exit(main(sys.argv[1:]))
