#!/usr/bin/env python3
"""Plot bus bandwidth and latency against message size from the run records
(BENCHMARK_RECORD=PATH) or the result CSV files (-p) of the benchmark programs.

One line is drawn per file, data type, reduce operation and buffer mode. Input is read and
checked completely before matplotlib is loaded, so bad input is reported quickly and even
where matplotlib is missing.
"""
import argparse
import os
import sys

sys.dont_write_bytecode = True  # the shared reader beside this file; keep the tree clean
import result_files as rf  # noqa: E402

PROG = os.path.basename(__file__)
MODES = {"in": "in-place", "out": "out-of-place"}
# Record mode names and the short ones of the CSV columns, which the series use.
SHORT_MODE = {"inplace": "in", "outofplace": "out"}
InputError = rf.InputError


def warn(msg):
    print(f"{PROG}: warning: {msg}", file=sys.stderr)


class Filters:
    """Which types, operations and modes to draw; None for all."""

    def __init__(self, types=None, ops=None, modes=None):
        self.types, self.ops, self.modes = types, ops, modes

    def keep(self, row):
        return ((self.types is None or row["type"] in self.types)
                and (self.ops is None or (row["redop"] or "") in self.ops)
                and (self.modes is None or row["mode"] in self.modes))


def series_of(results, filters=None):
    """{(type, op, mode): [(bytes, latency us, bus bw GB/s)]} in file order; op is "" for the
    collectives without one, mode "in" or "out"."""
    series = {}
    empty_sizes = 0
    for row in results.rows:
        if filters is not None and not filters.keep(row):
            continue
        if row["bytes"] <= 0:  # no place on a logarithmic axis
            empty_sizes += 1
            continue
        key = (row["type"], row["redop"] or "", SHORT_MODE[row["mode"]])
        series.setdefault(key, []).append((row["bytes"], row["latency_us"], row["busbw_gbs"]))
    return series, empty_sizes


def drawable(results, filters=None):
    """The series of one file (series_of), or InputError when it has none to draw."""
    series, empty_sizes = series_of(results, filters)
    if not series:
        why = " (rows of 0 bytes are left out)" if empty_sizes else ""
        if results.rows and not empty_sizes and filters is not None:
            why = " (none matches --type, --op and --mode)"
        raise InputError(f"{results.path}: no data rows" + why)
    return series


def read_results(path, filters=None):
    return drawable(rf.read(path, warn), filters)


def default_labels(paths):
    """File names; the parent folder is added when the names alone would clash (-p DIR/)."""
    names = [os.path.basename(p) for p in paths]
    if len(set(names)) == len(names):
        return names
    return [os.path.join(os.path.basename(os.path.dirname(os.path.abspath(p))), n)
            for p, n in zip(paths, names)]


def size_text(value):
    for shift, unit in ((40, "T"), (30, "G"), (20, "M"), (10, "K")):
        if value >= 1 << shift and value % (1 << shift) == 0:
            return f"{value >> shift}{unit}"
    return str(value)


def check_collectives(files, force):
    """Refuses records of different collectives in one picture, unless forced."""
    seen = {}
    for results in files:
        if results.collective:
            seen.setdefault(results.collective, results.path)
    if len(seen) > 1 and not force:
        listed = ", ".join(f"{c} ({p})" for c, p in seen.items())
        raise InputError(f"the files hold different collectives: {listed}; "
                         "use --force to draw them together")


def default_title(files):
    """The records' collective and rank counts: "AllReduce, 4 ranks in 2 processes"."""
    if not files or any(r.meta is None for r in files):
        return ""
    collectives, shapes = [], []
    for r in files:
        if r.collective and r.collective not in collectives:
            collectives.append(r.collective)
        shape = r.describe().split(", ", 1)[1:]
        if shape and shape[0] not in shapes:
            shapes.append(shape[0])
    parts = ["/".join(collectives)] if collectives else []
    if shapes:
        parts.append("; ".join(shapes))
    return ", ".join(parts)


def ratios(series, baseline):
    """[(bytes, ratio)] of a series against the baseline series of the same key: bus
    bandwidth over the baseline's, or where that is 0 (one rank) the baseline's latency over
    this one's; both above 1 when faster."""
    base = {size: (lat, bus) for size, lat, bus in baseline}
    points = []
    for size, lat, bus in sorted(series):
        if size not in base:
            continue
        base_lat, base_bus = base[size]
        if base_bus and bus is not None and base_bus > 0:
            points.append((size, bus / base_bus))
        elif base_lat and lat and lat > 0 and base_lat > 0:
            points.append((size, base_lat / lat))
    return points


def plot(runs, out, title, dpi, baseline=None):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    panels = 3 if baseline is not None else 2
    fig, axes = plt.subplots(panels, 1, sharex=True, figsize=(9, 4 * panels))
    bw_ax, lat_ax = axes[0], axes[1]
    ratio_ax = axes[2] if baseline is not None else None
    sizes = set()
    lines = 0
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    color_of = {}
    for f, (label, series) in enumerate(runs):
        keys = {(t, op) for t, op, _ in series}
        for (dtype, op, mode), points in series.items():
            # One colour per file, type and operation; the mode sets the line style.
            color = colors[color_of.setdefault((f, dtype, op), len(color_of)) % len(colors)]
            style = dict(color=color, linestyle="-" if mode == "in" else "--", marker="o",
                         markersize=3)
            points.sort()
            name = label
            if len(keys) > 1:  # the type and operation tell apart the lines of one file
                name += f" {dtype}" + (f" {op}" if op else "")
            name += f" {MODES[mode]}"
            x = [p[0] for p in points]
            sizes.update(x)
            style["label"] = name
            bw_ax.plot(x, [0 if p[2] is None else p[2] for p in points], **style)
            # Latencies of zero or less have no place on the logarithmic axis.
            lat = [(s, v) for s, v, _ in points if v is not None and v > 0]
            lat_ax.plot([p[0] for p in lat], [p[1] for p in lat], **style)
            if ratio_ax is not None and (dtype, op, mode) in baseline:
                r = ratios(points, baseline[(dtype, op, mode)])
                ratio_ax.plot([p[0] for p in r], [p[1] for p in r], **dict(style, label=None))
            lines += 1
    low, high = min(sizes).bit_length() - 1, max(sizes).bit_length()
    step = max(1, (high - low + 11) // 12)  # at most about a dozen size labels
    ticks = [1 << e for e in range(low, high + 1, step)]
    bottom = axes[-1]
    bottom.set_xscale("log", base=2)
    bottom.xaxis.set_major_locator(FixedLocator(ticks))
    bottom.xaxis.set_minor_locator(NullLocator())
    bottom.xaxis.set_major_formatter(FuncFormatter(lambda v, _: size_text(int(round(v)))))
    bottom.set_xlabel("message size (bytes)")
    lat_ax.set_yscale("log")
    lat_ax.set_ylabel("average latency (us)")
    bw_ax.set_ylabel("bus bandwidth (GB/s)")
    bw_ax.set_ylim(bottom=0)
    if ratio_ax is not None:
        ratio_ax.axhline(1.0, color="gray", linewidth=1)
        ratio_ax.set_ylabel("speed over the baseline")
    for ax in axes:
        ax.grid(True, which="major", alpha=0.4)
        ax.tick_params(labelbottom=True)
    # Beside the axes, in columns, so that many lines (a whole -t all -r all run) still leave
    # the curves readable.
    handles, labels = bw_ax.get_legend_handles_labels()
    columns = max(1, (len(labels) + 29) // 30)
    legend = fig.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.0, 1.0),
                        fontsize="small" if len(labels) <= 30 else "x-small", ncol=columns,
                        frameon=False)
    if title:
        bw_ax.set_title(title)
    fig.tight_layout()
    try:
        fig.savefig(out, dpi=dpi, format="png", bbox_inches="tight",
                    bbox_extra_artists=[legend])
    except OSError as e:
        raise InputError(f"cannot write {out}: {e.strerror or e}")
    finally:
        plt.close(fig)
    return lines


def word_list(text):
    return [w for w in text.split(",") if w]


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Plot bus bandwidth and latency against message size from the run\n"
                    "records (BENCHMARK_RECORD=PATH) or result CSV files (-p DIR/ or -p FILE)\n"
                    "of the benchmark programs. One line per file, data type, reduce\n"
                    "operation and buffer mode.",
        epilog="examples:\n"
               f"  {PROG} -o allreduce.png --label '2 ranks' run2/output.csv \\\n"
               "      --label '4 ranks' run4/output.csv\n"
               f"  {PROG} -o new.png --baseline base.json --type float --mode inplace new.json")
    parser.add_argument("files", nargs="+", metavar="FILE", help="run records or result CSV files")
    parser.add_argument("-o", "--output", default="results.png",
                        help="PNG file to write (default: results.png)")
    parser.add_argument("--label", action="append", default=[],
                        help="legend label of a file, once per file in the order of the "
                             "files (default: the file name)")
    parser.add_argument("--title", default=None,
                        help="title above the plots (default: from the records, the "
                             "collective and the ranks)")
    parser.add_argument("--dpi", type=int, default=100, help="resolution (default: 100)")
    parser.add_argument("--type", action="append", type=word_list, default=None,
                        help="only these data types (comma list; may be repeated)")
    parser.add_argument("--op", action="append", type=word_list, default=None,
                        help="only these reduce operations (comma list; may be repeated)")
    parser.add_argument("--mode", action="append", type=word_list, default=None,
                        help="only these buffer modes: inplace, outofplace")
    parser.add_argument("--baseline", metavar="FILE",
                        help="a run to compare with: a third panel shows each line's speed "
                             "over the baseline's same type, operation and mode (bus bandwidth "
                             "ratio; latency ratio where the bus bandwidth is 0)")
    parser.add_argument("--force", action="store_true",
                        help="draw records of different collectives together")
    args = parser.parse_intermixed_args(argv)

    def joined(lists):
        return None if lists is None else {w for words in lists for w in words}

    try:
        if args.label and len(args.label) != len(args.files):
            raise InputError(f"{len(args.label)} --label for {len(args.files)} files")
        if args.dpi <= 0 or args.dpi > 1000:
            raise InputError(f"--dpi {args.dpi} is out of range (1 to 1000)")
        modes = joined(args.mode)
        if modes is not None:
            modes = {rf.CSV_MODES.get(m, m) for m in modes}  # "in" and "out" also do
            bad = sorted(modes - set(rf.MODES))
            if bad:
                raise InputError(f"--mode {','.join(bad)}: the modes are inplace and outofplace")
        filters = Filters(joined(args.type), joined(args.op), modes)
        labels = args.label or default_labels(args.files)
        files = [rf.read(path, warn) for path in args.files]
        base_file = rf.read(args.baseline, warn) if args.baseline else None
        check_collectives(files + ([base_file] if base_file else []), args.force)
        runs = [(label, drawable(results, filters)) for label, results in zip(labels, files)]
        baseline = series_of(base_file, filters)[0] if base_file else None
        if base_file and not baseline:
            raise InputError(f"{base_file.path}: no data rows to compare with")
        title = args.title if args.title is not None else default_title(files)
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise InputError("matplotlib is not installed "
                             "(Debian: apt-get install -y python3-matplotlib)")
        lines = plot(runs, args.output, title, args.dpi, baseline)
    except InputError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    print(f"wrote {args.output}: {lines} lines from {len(runs)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
