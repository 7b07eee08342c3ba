#!/usr/bin/python3
"""Run a benchmark program at several rank counts and show its bus bandwidth against ranks.

For each P of --ranks, runs PROGRAM ARGS with a run record: in one process of P threads
(--threads, the program's -s P), or under a launcher whose command line names {P} (mpirun -np
{P}, tools/cluster/mpirun.sh -H {P} -np {P}). Then writes into --out a table (scaling.txt) and
a plot (scaling.png) of the bus bandwidth of each count against the ranks, beside the time
model's expectation where the runs had OXSIM_LINK_GBPS set (each call lasts at least
OXSIM_LINK_LATENCY_US plus its bus bytes over the rate). Exit status: 0 when every run passed,
1 when a run failed (named, with its output files), 2 for a bad command line or folder.
"""
import argparse
import os
import shlex
import subprocess
import sys

sys.dont_write_bytecode = True  # the shared reader beside this file; keep the tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import result_files as rf  # noqa: E402

PROG = os.path.basename(__file__)
MODE_NAMES = {"inplace": "in-place", "outofplace": "out-of-place"}
MAX_LINES = 8  # counts drawn; more make the plot unreadable (the table keeps them all)


def fail(msg, status=2):
    print(f"{PROG}: error: {msg}", file=sys.stderr)
    return status


def ranks_value(text):
    try:
        values = [int(w) for w in text.split(",") if w.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma list of whole numbers: '{text}'")
    if not values or any(v < 1 or v > 4096 for v in values):
        raise argparse.ArgumentTypeError(f"rank counts go from 1 to 4096: '{text}'")
    if len(set(values)) != len(values):
        raise argparse.ArgumentTypeError(f"a rank count appears twice: '{text}'")
    return sorted(values)


def launcher_value(text):
    try:
        words = shlex.split(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"cannot split '{text}': {e}")
    if not words or not any("{P}" in w for w in words):
        raise argparse.ArgumentTypeError(f"the launcher must name the rank count as {{P}}: "
                                         f"'{text}'")
    return words


def command_for(args, ranks):
    if args.threads:
        return [args.program, *args.args, "-s", str(ranks)]
    return [w.replace("{P}", str(ranks)) for w in args.launcher] + [args.program, *args.args]


def run_at(args, ranks):
    """Runs the program at one rank count; (Results, None) or (None, the failure)."""
    name = os.path.join(args.out, f"ranks-{ranks}")
    record = name + ".json"
    if os.path.exists(record):
        os.unlink(record)  # a record left by an earlier sweep must not pass for this run's
    words = command_for(args, ranks)
    print(f"ranks {ranks}: {shlex.join(words)}", flush=True)
    env = dict(os.environ, BENCHMARK_RECORD=os.path.abspath(record))
    try:
        with open(name + ".out", "w") as out, open(name + ".err", "w") as err:
            status = subprocess.run(words, env=env, stdout=out, stderr=err).returncode
    except OSError as e:
        return None, f"ranks {ranks} could not start: {words[0]}: {e.strerror or e}"
    if status != 0:
        how = f"status {status}" if status > 0 else f"signal {-status}"
        return None, (f"the run at {ranks} ranks failed ({how}): {shlex.join(words)}; its "
                      f"output is in {name}.out and .err")
    try:
        results = rf.read(record, lambda msg: None)
    except rf.InputError as e:
        return None, f"the run at {ranks} ranks left no usable record: {e}"
    if not results.rows:
        return None, f"the run at {ranks} ranks measured no row ({record})"
    return results, None


def pick_series(results):
    """(type, op, mode) drawn: the record's first type and operation, in-place where run."""
    first = results.rows[0]
    modes = {r["mode"] for r in results.rows}
    return first["type"], first["redop"], "inplace" if "inplace" in modes else "outofplace"


def model_of(results):
    """(rate GB/s, latency us) of the time model the run had, or None."""
    env = dict(os.environ)
    env.update((results.meta or {}).get("environment") or {})
    try:
        rate = float(env.get("OXSIM_LINK_GBPS", ""))
    except ValueError:
        return None
    try:
        latency = float(env.get("OXSIM_LINK_LATENCY_US", "0") or 0)
    except ValueError:
        latency = 0.0
    return (rate, latency) if rate > 0 else None


def expected_busbw(row, model):
    """The model's bus bandwidth of a row: bus bytes / (latency + bus bytes / rate), the bus
    bytes being the measured bus bandwidth times the time (GB/s x us = 1000 bytes)."""
    if model is None or not row.get("busbw_gbs") or not row.get("latency_us"):
        return None
    rate, latency = model
    bus_bytes = row["busbw_gbs"] * row["latency_us"] * 1e3
    return bus_bytes / (latency * 1e-6 + bus_bytes / (rate * 1e9)) / 1e9


def tabulate(runs, which):
    """{bytes: {ranks: (busbw, expected)}} of the rows of `which`, and the rank counts."""
    dtype, op, mode = which
    table = {}
    ranks_list = []
    for results in runs:
        ranks = (results.meta or {}).get("ranks")
        ranks_list.append(ranks)
        model = model_of(results)
        for row in results.rows:
            if (row["type"], row["redop"], row["mode"]) != (dtype, op, mode):
                continue
            if row["busbw_gbs"] is None:
                continue
            table.setdefault(row["bytes"], {})[ranks] = (row["busbw_gbs"],
                                                         expected_busbw(row, model))
    return table, ranks_list


def write_table(path, table, ranks_list, title, with_model):
    width = 11
    head = f"{'bytes':>12}" + "".join(f"{f'P={p}':>{width}}" for p in ranks_list)
    if with_model:
        head += "  " + "".join(f"{f'model P={p}':>{width + 2}}" for p in ranks_list)
    lines = [f"# bus bandwidth (GB/s), {title}", head]
    for size in sorted(table):
        cells = table[size]
        line = f"{size:>12}" + "".join(
            f"{cells[p][0]:>{width}.3f}" if p in cells else f"{'-':>{width}}" for p in ranks_list)
        if with_model:
            line += "  " + "".join(
                f"{cells[p][1]:>{width + 2}.3f}" if p in cells and cells[p][1] is not None
                else f"{'-':>{width + 2}}" for p in ranks_list)
        lines.append(line)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def size_text(value):
    for shift, unit in ((30, "G"), (20, "M"), (10, "K")):
        if value >= 1 << shift and value % (1 << shift) == 0:
            return f"{value >> shift}{unit}"
    return str(value)


def write_plot(path, table, ranks_list, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = sorted(table)
    if len(sizes) > MAX_LINES:  # evenly over the range, the largest always
        step = (len(sizes) - 1) / (MAX_LINES - 1)
        sizes = sorted({sizes[round(i * step)] for i in range(MAX_LINES)})
    fig, ax = plt.subplots(figsize=(8, 5), layout="constrained")
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    modelled = False
    for i, size in enumerate(sizes):
        cells = table[size]
        ps = [p for p in ranks_list if p in cells]
        color = colors[i % len(colors)]
        ax.plot(ps, [cells[p][0] for p in ps], marker="o", color=color, label=size_text(size))
        model = [(p, cells[p][1]) for p in ps if cells[p][1] is not None]
        if model:
            modelled = True
            ax.plot([p for p, _ in model], [v for _, v in model], linestyle=":", color=color)
    ax.set_xscale("log", base=2)
    ax.set_xticks(ranks_list)
    ax.set_xticklabels([str(p) for p in ranks_list])
    ax.minorticks_off()
    ax.set_ylim(bottom=0)
    ax.set_xlabel("ranks")
    ax.set_ylabel("bus bandwidth (GB/s)")
    ax.grid(True, alpha=0.4)
    ax.set_title(title)
    handles, labels = ax.get_legend_handles_labels()
    if modelled:
        handles.append(plt.Line2D([], [], color="gray", linestyle=":"))
        labels.append("time model")
    ax.legend(handles, labels, title="bytes", fontsize="small", loc="center left",
              bbox_to_anchor=(1.0, 0.5), frameon=False)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        usage=f"{PROG} --ranks LIST (--threads | --launcher CMD) [--out DIR] -- PROGRAM "
              "[ARGS...]",
        description=__doc__.split("\n", 2)[2],
        epilog="examples:\n"
               f"  {PROG} --ranks 2,4,8 --threads --out sweep -- build/bin/bench-allreduce "
               "-n 1M -x 32M -m 4 -l 5\n"
               f"  {PROG} --ranks 2,4 --launcher 'mpirun -np {{P}} --oversubscribe --bind-to "
               "none' -- build/bin/bench-allgather -n 1M -x 16M -m 4\n"
               f"  {PROG} --ranks 2,4 --launcher 'tools/cluster/mpirun.sh -H {{P}} -np {{P}}' "
               "-- build/bin/bench-allreduce -n 1M -x 16M -m 4")
    parser.add_argument("--ranks", required=True, type=ranks_value, metavar="LIST",
                        help="the rank counts, a comma list (2,4,8)")
    how = parser.add_mutually_exclusive_group(required=True)
    how.add_argument("--threads", action="store_true",
                     help="one process of P threads: the program's -s P")
    how.add_argument("--launcher", type=launcher_value, metavar="CMD",
                     help="a launcher command line naming the rank count {P}")
    parser.add_argument("--out", default="scaling", metavar="DIR",
                        help="folder of the records, the table and the plot (default: scaling)")
    parser.add_argument("program", metavar="PROGRAM", help="the benchmark program")
    parser.add_argument("args", nargs=argparse.REMAINDER, metavar="ARGS",
                        help="its options (after --)")
    args = parser.parse_args(argv)
    if args.args[:1] == ["--"]:
        args.args = args.args[1:]
    if args.threads and any(w in ("-s", "--threads") or w.startswith(("-s", "--threads="))
                            for w in args.args):
        return fail("with --threads the tool sets -s itself; leave it out of ARGS")
    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as e:
        return fail(f"cannot create {args.out}: {e.strerror or e}")
    runs = []
    for ranks in args.ranks:
        results, why = run_at(args, ranks)
        if why:
            return fail(why, 1)
        runs.append(results)
    which = pick_series(runs[0])
    table, ranks_list = tabulate(runs, which)
    if any(not isinstance(r, int) for r in ranks_list):
        return fail("a record does not say its rank count (a run that ended early?)", 1)
    if ranks_list != args.ranks:
        print(f"{PROG}: warning: the runs had {','.join(map(str, ranks_list))} ranks for "
              f"--ranks {','.join(map(str, args.ranks))} (threads or processes of each)",
              file=sys.stderr)
    if len(set(ranks_list)) != len(ranks_list):
        return fail("two runs had the same rank count; the table needs one per count", 1)
    dtype, op, mode = which
    meta = runs[0].meta or {}
    title = (f"{meta.get('collective') or meta.get('program') or args.program}, {dtype}"
             + (f" {op}" if op else "") + f" {MODE_NAMES[mode]}")
    with_model = any(c[1] is not None for cells in table.values() for c in cells.values())
    model = model_of(runs[0])
    if with_model and model:
        title += f"; time model {model[0]:g} GB/s, {model[1]:g} us"
    table_path = os.path.join(args.out, "scaling.txt")
    write_table(table_path, table, ranks_list, title, with_model)
    print(f"wrote {table_path}: {len(table)} counts at {len(ranks_list)} rank counts")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print(f"{PROG}: warning: matplotlib is not installed (Debian: apt-get install -y "
              f"python3-matplotlib): no plot", file=sys.stderr)
        return 0
    plot_path = os.path.join(args.out, "scaling.png")
    write_plot(plot_path, table, ranks_list, title)
    print(f"wrote {plot_path}")
    return 0


if __name__ == "__main__":
    rf.python_with("matplotlib")
    sys.exit(main(sys.argv[1:]))
