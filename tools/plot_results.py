#!/usr/bin/env python3
"""Plot bus bandwidth and latency against message size from the result CSV files that the
benchmark programs write with -p.

One line is drawn per file, data type, reduce operation and buffer mode. Input is read and
checked completely before matplotlib is loaded, so bad input is reported quickly and even
where matplotlib is missing.
"""
import argparse
import csv
import os
import sys

PROG = os.path.basename(__file__)
HEAD = ["bytes", "count", "type"]
MODES = {"in": "in-place", "out": "out-of-place"}
GROUP = ["avg-lat(us)", "algo-bw(GB/s)", "bus-bw(GB/s)", "error"]


class InputError(Exception):
    pass


def warn(msg):
    print(f"{PROG}: warning: {msg}", file=sys.stderr)


def parse_header(names):
    """Returns (has_redop, [(mode, latency column, bus bw column)]) or raises InputError."""
    if names[:3] != HEAD:
        raise InputError("unknown CSV header (expected it to start with bytes,count,type): "
                         + ",".join(names)[:120])
    has_redop = len(names) > 3 and names[3] == "redop"
    first = 4 if has_redop else 3
    rest = names[first:]
    if not rest or len(rest) % len(GROUP):
        raise InputError("unknown CSV header (result columns come in groups of "
                         f"{len(GROUP)} per mode): " + ",".join(names)[:120])
    groups = []
    for g in range(0, len(rest), len(GROUP)):
        mode = rest[g].split("-", 1)[0]
        if mode not in MODES or rest[g:g + len(GROUP)] != [f"{mode}-{c}" for c in GROUP]:
            raise InputError("unknown CSV header (unexpected result columns "
                             + ",".join(rest[g:g + len(GROUP)]) + ")")
        if any(m == mode for m, _, _ in groups):
            raise InputError(f"unknown CSV header (mode '{mode}' appears twice)")
        groups.append((mode, first + g, first + g + 2))
    return has_redop, groups


def read_results(path):
    """Returns {(type, op, mode): [(bytes, latency us, bus bw GB/s)]} in file order."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            lines = list(csv.reader(f))
    except (OSError, UnicodeDecodeError, csv.Error) as e:
        raise InputError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}")
    lines = [(n, [c.strip() for c in row]) for n, row in enumerate(lines, 1)
             if any(c.strip() for c in row)]
    if not lines:
        raise InputError(f"{path}: empty file, no CSV header")
    header = lines[0][1]
    try:
        has_redop, groups = parse_header(header)
    except InputError as e:
        raise InputError(f"{path}: {e}")
    series = {}
    empty_sizes = 0
    for n, row in lines[1:]:
        if row == header:  # files joined with cat repeat the header
            continue
        # A run that ended early can leave a last row with only its first mode group.
        if len(row) != len(header):
            warn(f"{path}:{n}: skipped, {len(row)} fields instead of {len(header)}")
            continue
        try:
            size = int(row[0])
            points = [(mode, float(row[lat]), float(row[bus])) for mode, lat, bus in groups]
        except ValueError:
            warn(f"{path}:{n}: skipped, not a number in a bytes, latency or bandwidth field")
            continue
        if size <= 0:  # no place on a logarithmic axis
            empty_sizes += 1
            continue
        op = row[3] if has_redop else ""
        for mode, lat, bus in points:
            series.setdefault((row[2], op, mode), []).append((size, lat, bus))
    if not series:
        raise InputError(f"{path}: no data rows"
                         + (" (rows of 0 bytes are left out)" if empty_sizes else ""))
    return series


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


def plot(runs, out, title, dpi):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    fig, (bw_ax, lat_ax) = plt.subplots(2, 1, sharex=True, figsize=(9, 8))
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
            bw_ax.plot(x, [p[2] for p in points], **style)
            # Latencies of zero or less have no place on the logarithmic axis.
            lat = [(s, v) for s, v, _ in points if v > 0]
            lat_ax.plot([p[0] for p in lat], [p[1] for p in lat], **style)
            lines += 1
    low, high = min(sizes).bit_length() - 1, max(sizes).bit_length()
    step = max(1, (high - low + 11) // 12)  # at most about a dozen size labels
    ticks = [1 << e for e in range(low, high + 1, step)]
    lat_ax.set_xscale("log", base=2)
    lat_ax.xaxis.set_major_locator(FixedLocator(ticks))
    lat_ax.xaxis.set_minor_locator(NullLocator())
    lat_ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: size_text(int(round(v)))))
    lat_ax.set_yscale("log")
    lat_ax.set_xlabel("message size (bytes)")
    lat_ax.set_ylabel("average latency (us)")
    bw_ax.set_ylabel("bus bandwidth (GB/s)")
    bw_ax.set_ylim(bottom=0)
    for ax in (bw_ax, lat_ax):
        ax.grid(True, which="major", alpha=0.4)
        ax.tick_params(labelbottom=True)
    bw_ax.legend(fontsize="small")
    if title:
        bw_ax.set_title(title)
    fig.tight_layout()
    try:
        fig.savefig(out, dpi=dpi, format="png")
    except OSError as e:
        raise InputError(f"cannot write {out}: {e.strerror or e}")
    finally:
        plt.close(fig)
    return lines


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Plot bus bandwidth and latency against message size from the result\n"
                    "CSV files of the benchmark programs (written with -p DIR/ or -p FILE).\n"
                    "One line per file, data type, reduce operation and buffer mode.",
        epilog="example:\n"
               f"  {PROG} -o allreduce.png --label '2 ranks' run2/output.csv \\\n"
               "      --label '4 ranks' run4/output.csv")
    parser.add_argument("files", nargs="+", metavar="CSV", help="result CSV files")
    parser.add_argument("-o", "--output", default="results.png",
                        help="PNG file to write (default: results.png)")
    parser.add_argument("--label", action="append", default=[],
                        help="legend label of a file, once per file in the order of the "
                             "files (default: the file name)")
    parser.add_argument("--title", default="", help="title above the plots")
    parser.add_argument("--dpi", type=int, default=100, help="resolution (default: 100)")
    args = parser.parse_intermixed_args(argv)
    try:
        if args.label and len(args.label) != len(args.files):
            raise InputError(f"{len(args.label)} --label for {len(args.files)} files")
        if args.dpi <= 0 or args.dpi > 1000:
            raise InputError(f"--dpi {args.dpi} is out of range (1 to 1000)")
        labels = args.label or default_labels(args.files)
        runs = [(label, read_results(path)) for label, path in zip(labels, args.files)]
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise InputError("matplotlib is not installed "
                             "(Debian: apt-get install -y python3-matplotlib)")
        lines = plot(runs, args.output, args.title, args.dpi)
    except InputError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 1
    print(f"wrote {args.output}: {lines} lines from {len(runs)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
