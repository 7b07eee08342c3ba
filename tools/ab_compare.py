#!/usr/bin/python3
"""Run two benchmark commands in turn and compare them row by row.

Runs BASE, NEW, NEW, BASE, BASE, NEW, ... (--pairs times each: the two in turn, each pair in
the other order than the one before), so that both sides see the same changes of the host's
load and a steady drift of the host favours neither, each run writing its own record
(BENCHMARK_RECORD) under OUT/base/ and OUT/new/; then compares the two directories with
compare_results.py. Exit status: that of the comparison (0 no row regressed, 1 some row
regressed, 2 inputs that cannot be compared), and 2 also when a run fails, with a message
naming it.
"""
import argparse
import os
import shlex
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare_results  # noqa: E402
import result_files as rf  # noqa: E402

PROG = os.path.basename(__file__)


def fail(msg):
    print(f"{PROG}: error: {msg}", file=sys.stderr)
    return 2


def split_command(text):
    """(environment settings, words) of a command line split with shell rules: leading
    NAME=VALUE words set the environment, as in a shell."""
    try:
        words = shlex.split(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"cannot split '{text}': {e}")
    env = {}
    while words and "=" in words[0] and words[0].split("=", 1)[0].isidentifier():
        name, value = words.pop(0).split("=", 1)
        env[name] = value
    if not words:
        raise argparse.ArgumentTypeError(f"no program in '{text}'")
    return env, words


def pairs_value(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: '{text}'")
    if not 1 <= value <= 1000:
        raise argparse.ArgumentTypeError(f"must be from 1 to 1000, not {text}")
    return value


def run_one(label, index, total, command, directory):
    """Runs one command with its record in `directory`; None, or the message of a failure."""
    env_set, words = command
    name = f"run-{index:03d}"
    record = os.path.join(directory, name + ".json")
    env = dict(os.environ, **env_set, BENCHMARK_RECORD=record)
    print(f"{label} {index}/{total}: {shlex.join(words)}", flush=True)
    try:
        with open(os.path.join(directory, name + ".out"), "w") as out, \
                open(os.path.join(directory, name + ".err"), "w") as err:
            status = subprocess.run(words, env=env, stdout=out, stderr=err).returncode
    except OSError as e:
        return f"{label} run {index} could not start: {words[0]}: {e.strerror or e}"
    if status != 0:
        how = f"status {status}" if status > 0 else f"signal {-status}"
        return (f"{label} run {index} failed ({how}): {shlex.join(words)}; its output is in "
                f"{os.path.join(directory, name)}.out and .err")
    if not os.path.exists(record):
        return f"{label} run {index} wrote no record {record}: is it a benchmark program?"
    return None


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description=__doc__.split("\n", 2)[2],
        epilog="example: a 10% slower simulated link\n"
               f"  {PROG} --out ab --pairs 5 \\\n"
               "    --base 'BENCHMARK_REPEAT=10 OXSIM_LINK_GBPS=4 build/bin/bench-allreduce "
               "-s 2 -n 256K -x 4M -m 4 -l 10' \\\n"
               "    --new 'BENCHMARK_REPEAT=10 OXSIM_LINK_GBPS=3.6 build/bin/bench-allreduce "
               "-s 2 -n 256K -x 4M -m 4 -l 10'\n"
               "two library builds: --base 'LD_LIBRARY_PATH=/opt/a/lib CMD' --new "
               "'LD_LIBRARY_PATH=/opt/b/lib CMD'")
    parser.add_argument("--base", required=True, type=split_command, metavar="CMD",
                        help="the reference command line (NAME=VALUE words first set its "
                             "environment)")
    parser.add_argument("--new", required=True, type=split_command, metavar="CMD",
                        help="the command line to check")
    parser.add_argument("--pairs", type=pairs_value, default=5, metavar="N",
                        help="runs of each command, in turn (default: 5)")
    parser.add_argument("--out", required=True, metavar="DIR",
                        help="folder of the records: DIR/base/ and DIR/new/ (must hold no "
                             "records yet)")
    parser.add_argument("--threshold", type=compare_results.threshold_value, default=5.0,
                        metavar="PCT", help="passed to compare_results.py (default: 5)")
    parser.add_argument("--alpha", type=compare_results.alpha_value, default=0.05,
                        help="passed to compare_results.py (default: 0.05)")
    parser.add_argument("--metric", choices=sorted(compare_results.METRICS), default="busbw",
                        help="passed to compare_results.py (default: busbw)")
    parser.add_argument("--unit", choices=("auto", "run", "block"), default="auto",
                        help="passed to compare_results.py (default: auto, every block with "
                             "the runs as clusters)")
    args = parser.parse_args(argv)
    dirs = {}
    for label in ("base", "new"):
        d = os.path.join(args.out, label)
        try:
            os.makedirs(d, exist_ok=True)
        except OSError as e:
            return fail(f"cannot create {d}: {e.strerror or e}")
        # Old records would be pooled with the new ones.
        if any(n.endswith(".json") for n in os.listdir(d)):
            return fail(f"{d} already holds records; give --out a new or empty folder")
        dirs[label] = d
    for label, command in (("base", args.base), ("new", args.new)):
        if "BENCHMARK_RECORD" in command[0]:
            print(f"{PROG}: warning: the {label} command's BENCHMARK_RECORD is replaced by "
                                 f"{dirs[label]}/run-NNN.json", file=sys.stderr)
    # A host can drift during a series (on a loaded one, runs got slower as it went on): with
    # base always first, new had the later place of every pair and measured 3 % slower on
    # average. Pairs in alternating order cancel a steady drift.
    for i in range(1, args.pairs + 1):
        pair = (("base", args.base), ("new", args.new))
        for label, command in pair if i % 2 else pair[::-1]:
            why = run_one(label, i, args.pairs, command, dirs[label])
            if why:
                return fail(why)
    sys.stdout.flush()
    return compare_results.main([dirs["base"], dirs["new"], "--threshold", str(args.threshold),
                                 "--alpha", str(args.alpha), "--metric", args.metric,
                                 "--unit", args.unit])


if __name__ == "__main__":
    rf.python_with("scipy.stats")
    sys.exit(main(sys.argv[1:]))
