#!/usr/bin/env python3
"""Plot bus bandwidth and latency against message size from the run records
(BENCHMARK_RECORD=PATH) or the result CSV files (-p) of the benchmark programs.

One line is drawn per file, data type, reduce operation and buffer mode. A run of several
types or operations gets one small panel per type and operation, with shared axes; a colour per
file, a line style per mode and one legend. Rows with timed blocks (BENCHMARK_REPEAT) show the
median block with a band from its 10th to its 90th percentile. Input is read and checked
completely before matplotlib is loaded, so bad input is reported quickly and even where
matplotlib is missing.
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
    """The records' collective and rank counts: "AllReduce, 4 ranks in 2 processes"; for CSV
    files, which say neither, the folders they are in (-p DIR/ names only the folder)."""
    if files and all(r.meta is None for r in files):
        folders = []
        for r in files:
            folder = os.path.basename(os.path.dirname(os.path.abspath(r.path)))
            if folder and folder not in folders:
                folders.append(folder)
        return ", ".join(folders)
    collectives, shapes = [], []
    for r in (r for r in files if r.meta is not None):
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


def percentile(values, q):
    """The q-th percentile (0 to 100) of values, interpolated linearly between order
    statistics, as the record's stats are."""
    v = sorted(values)
    at = (len(v) - 1) * q / 100
    low = int(at)
    high = min(low + 1, len(v) - 1)
    return v[low] + (v[high] - v[low]) * (at - low)


def bands_of(results, filters=None):
    """{(type, op, mode): {bytes: ((lat p10, lat p90), (bus p10, bus p90))}} of the rows with
    several timed blocks (BENCHMARK_REPEAT); the table's value is the median block."""
    bands = {}
    for row in results.rows:
        if (filters is not None and not filters.keep(row)) or row["bytes"] <= 0:
            continue
        if not row.get("samples_us") or len(row["samples_us"]) < 2:
            continue
        spread = []
        for field in ("latency_us", "busbw_gbs"):
            values = [v for v in rf.samples(row, field) if v is not None]
            spread.append((percentile(values, 10), percentile(values, 90)) if values else None)
        key = (row["type"], row["redop"] or "", SHORT_MODE[row["mode"]])
        bands.setdefault(key, {})[row["bytes"]] = tuple(spread)
    return bands


def facets_of(runs):
    """The (type, op) pairs of all runs, in the order first met."""
    facets = []
    for run in runs:
        for dtype, op, _ in run[1]:
            if (dtype, op) not in facets:
                facets.append((dtype, op))
    return facets


def grid_shape(facets):
    """(rows, columns, {facet: (row, column)}): a row per type and a column per operation when
    there are several operations, else the types in rows of at most four."""
    ops = []
    for _, op in facets:
        if op not in ops:
            ops.append(op)
    if len(ops) > 1:
        types = []
        for dtype, _ in facets:
            if dtype not in types:
                types.append(dtype)
        return len(types), len(ops), {f: (types.index(f[0]), ops.index(f[1])) for f in facets}
    columns = min(4, len(facets))
    rows = (len(facets) + columns - 1) // columns
    return rows, columns, {f: divmod(i, columns) for i, f in enumerate(facets)}


def style_size_axis(ax, sizes):
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator
    low, high = min(sizes).bit_length() - 1, max(sizes).bit_length()
    step = max(1, (high - low + 11) // 12)  # at most about a dozen size labels
    ax.set_xscale("log", base=2)
    ax.xaxis.set_major_locator(FixedLocator([1 << e for e in range(low, high + 1, step)]))
    ax.xaxis.set_minor_locator(NullLocator())
    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: size_text(int(round(v)))))


def save(fig, out, dpi, legend):
    """Writes the PNG; `legend`, where one is drawn outside the figure, is kept in it."""
    import matplotlib.pyplot as plt
    try:
        fig.savefig(out, dpi=dpi, format="png", bbox_inches="tight",
                    bbox_extra_artists=[legend] if legend is not None else None)
    except OSError as e:
        raise InputError(f"cannot write {out}: {e.strerror or e}")
    finally:
        plt.close(fig)


def draw_line(ax, points, index, style, band=None):
    """One series on one axis: the values at `index` of the points (1 latency, 2 bus
    bandwidth), with the p10-p90 band of their blocks where `band` has them."""
    kept = [p for p in points if p[index] is not None and (index != 1 or p[index] > 0)]
    ax.plot([p[0] for p in kept], [p[index] for p in kept], **style)
    if band:
        spread = [(p[0], band[p[0]][index - 1]) for p in kept
                  if p[0] in band and band[p[0]][index - 1] is not None]
        if spread:
            ax.fill_between([s for s, _ in spread], [b[0] for _, b in spread],
                            [b[1] for _, b in spread], color=style["color"], alpha=0.2,
                            linewidth=0)


def plot(runs, out, title, dpi, baseline=None, metric="busbw"):
    """Draws the runs, each (label, series, bands). One type and operation: bus bandwidth
    and latency panels (and the speed over the baseline). Several: one small panel per type
    and operation with shared axes, of `metric` (or of the speed over the baseline). A colour
    per run, a line style per mode, one legend. Returns the number of lines."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    facets = facets_of(runs)
    sizes = {p[0] for _, series, _ in runs for points in series.values() for p in points}
    if len(facets) == 1:
        return plot_single(runs, out, title, dpi, baseline, colors, sizes)
    rows, columns, place = grid_shape(facets)
    fig, axes = plt.subplots(rows, columns, sharex=True, sharey=True, squeeze=False,
                             figsize=(3.2 * columns + 1, 2.4 * rows + 0.8),
                             layout="constrained")
    used = set(place.values())
    for r in range(rows):
        for c in range(columns):
            if (r, c) not in used:
                axes[r][c].set_visible(False)
    index = 1 if metric == "latency" else 2
    handles, lines = {}, 0
    for f, (label, series, bands) in enumerate(runs):
        for (dtype, op, mode), points in series.items():
            ax = axes[place[(dtype, op)][0]][place[(dtype, op)][1]]
            points.sort()
            name = f"{label} {MODES[mode]}" if len(runs) > 1 else MODES[mode]
            style = dict(color=colors[f % len(colors)], linestyle="-" if mode == "in" else "--",
                         marker="o", markersize=2, linewidth=1.2, label=name)
            if baseline is not None:
                r_points = ratios(points, baseline.get((dtype, op, mode), []))
                ax.plot([p[0] for p in r_points], [p[1] for p in r_points], **style)
            else:
                draw_line(ax, points, index, style, bands.get((dtype, op, mode)))
            handles.setdefault(name, ax.get_lines()[-1])
            lines += 1
    for (dtype, op), (r, c) in place.items():
        ax = axes[r][c]
        ax.set_title(f"{dtype} {op}".strip(), fontsize="small")
        ax.grid(True, which="major", alpha=0.4)
        ax.tick_params(labelsize="x-small", labelbottom=True)
        if baseline is not None:
            ax.axhline(1.0, color="gray", linewidth=1)
    style_size_axis(axes[0][0], sizes)
    first = axes[0][0]
    if baseline is not None:
        ylabel = "speed over the baseline"
    elif index == 1:
        first.set_yscale("log")
        ylabel = "average latency (us)"
    else:
        first.set_ylim(bottom=0)
        ylabel = "bus bandwidth (GB/s)"
    fig.supxlabel("message size (bytes)")
    fig.supylabel(ylabel)
    banded = any(bands for _, _, bands in runs) and baseline is None
    # Below the panels, where it takes no room from them.
    legend = fig.legend(list(handles.values()), list(handles.keys()), loc="upper center",
                        bbox_to_anchor=(0.5, 0), ncol=min(4, len(handles)), frameon=False,
                        title="shaded: p10 to p90 of the timed blocks" if banded else None)
    if title:
        fig.suptitle(title)
    save(fig, out, dpi, None)  # the figure's own texts and legend count for the bounds
    return lines


def plot_single(runs, out, title, dpi, baseline, colors, sizes):
    import matplotlib.pyplot as plt

    panels = 3 if baseline is not None else 2
    fig, axes = plt.subplots(panels, 1, sharex=True, figsize=(9, 4 * panels))
    bw_ax, lat_ax = axes[0], axes[1]
    ratio_ax = axes[2] if baseline is not None else None
    lines = 0
    for f, (label, series, bands) in enumerate(runs):
        for (dtype, op, mode), points in series.items():
            points.sort()
            style = dict(color=colors[f % len(colors)], linestyle="-" if mode == "in" else "--",
                         marker="o", markersize=3, label=f"{label} {MODES[mode]}")
            band = bands.get((dtype, op, mode))
            draw_line(bw_ax, points, 2, style, band)
            draw_line(lat_ax, points, 1, style, band)
            if ratio_ax is not None and (dtype, op, mode) in baseline:
                r = ratios(points, baseline[(dtype, op, mode)])
                ratio_ax.plot([p[0] for p in r], [p[1] for p in r], **dict(style, label=None))
            lines += 1
    style_size_axis(axes[-1], sizes)
    axes[-1].set_xlabel("message size (bytes)")
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
    handles, labels = bw_ax.get_legend_handles_labels()
    banded = any(bands for _, _, bands in runs)
    legend = fig.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.0, 1.0),
                        fontsize="small", frameon=False,
                        title="shaded: p10 to p90\nof the timed blocks" if banded else None)
    (dtype, op), = facets_of(runs)
    what = f"{dtype} {op}".strip()
    bw_ax.set_title(f"{title}: {what}" if title else what)
    fig.tight_layout()
    save(fig, out, dpi, legend)
    return lines


def word_list(text):
    return [w for w in text.split(",") if w]


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Plot bus bandwidth and latency against message size from the run\n"
                    "records (BENCHMARK_RECORD=PATH) or result CSV files (-p DIR/ or -p FILE)\n"
                    "of the benchmark programs. One line per file, data type, reduce\n"
                    "operation and buffer mode; several types or operations get a panel\n"
                    "each (shared axes). Rows with BENCHMARK_REPEAT blocks show the median\n"
                    "with a band from the 10th to the 90th percentile.",
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
    parser.add_argument("--metric", choices=("busbw", "latency"), default="busbw",
                        help="what the panels of a run of several types or operations show "
                             "(default: busbw, the bus bandwidth)")
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
        runs = [(label, drawable(results, filters), bands_of(results, filters))
                for label, results in zip(labels, files)]
        baseline = series_of(base_file, filters)[0] if base_file else None
        if base_file and not baseline:
            raise InputError(f"{base_file.path}: no data rows to compare with")
        title = args.title if args.title is not None else default_title(files)
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise InputError("matplotlib is not installed "
                             "(Debian: apt-get install -y python3-matplotlib)")
        lines = plot(runs, args.output, title, args.dpi, baseline, args.metric)
    except InputError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    print(f"wrote {args.output}: {lines} lines from {len(runs)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
