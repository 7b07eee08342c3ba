"""Checks of tools/scaling.py with the real programs: a sweep of threads against the time
model, one under mpirun, one across the namespace cluster; and its refusals.

Usage: test_scaling.py TOOL BIN_DIR GROUP [LAUNCHER]
  threads  --threads at 2, 4 and 8 ranks on a simulated link; refused command lines
  mpirun   --launcher 'LAUNCHER -np {P} ...' at 2 and 4 processes
  cluster  --launcher 'tools/cluster/mpirun.sh -H {P} -np {P}' at 2 and 3 hosts
"""
import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # the shared checks beside this file; keep the tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tooltest  # noqa: E402
from tooltest import check, summary  # noqa: E402


def run(tool, *args, env=None):
    full = {"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
            "BENCHMARK_RECORD": None, **(env or {})}
    return tooltest.run(tool, *args, env=full, timeout=240)


def table(path):
    """{bytes: [numbers]} of scaling.txt, and its header words."""
    with open(path) as f:
        lines = f.read().splitlines()
    rows = {int(l.split()[0]): [float(v) for v in l.split()[1:]] for l in lines[2:]}
    return rows, lines[0], lines[1].split()


def has_matplotlib():
    try:
        import matplotlib  # noqa: F401
        return True
    except ImportError:
        return False


def check_sweep(what, out, ranks, stdout, with_model):
    rows, title, head = table(os.path.join(out, "scaling.txt"))
    want = ["bytes"] + [f"P={p}" for p in ranks]
    if with_model:
        want += [w for p in ranks for w in ("model", f"P={p}")]
    check(head == want, f"{what}: header {head}")
    check(len(rows) == 3 and all(len(v) == len(want) - 1 - (len(ranks) if with_model else 0)
                                 for v in rows.values()), f"{what}: rows {rows}")
    check(all(os.path.exists(os.path.join(out, f"ranks-{p}.{x}")) for p in ranks
              for x in ("json", "out", "err")), f"{what}: records {os.listdir(out)}")
    if has_matplotlib():
        with open(os.path.join(out, "scaling.png"), "rb") as f:
            check(f.read(8) == b"\x89PNG\r\n\x1a\n", f"{what}: no PNG")
    return rows, title


def group_threads(tool, bin_dir, tmp):
    prog = os.path.join(bin_dir, "bench-allreduce")
    out = os.path.join(tmp, "threads")
    args = ["--ranks", "2,4,8", "--threads", "--out", out, "--", prog, "-n", "64K", "-x", "4M",
            "-m", "8", "-l", "3", "-w", "1"]
    rc, stdout, err = run(tool, *args, env={"OXSIM_LINK_GBPS": "2", "OXSIM_LINK_LATENCY_US": "50"})
    check(rc == 0 and "3 counts at 3 rank counts" in stdout, f"threads: {rc} {stdout} {err}")
    if rc != 0:
        return
    rows, title = check_sweep("threads", out, [2, 4, 8], stdout, True)
    check("AllReduce, float sum in-place; time model 2 GB/s, 50 us" in title, f"title {title}")
    # The model bounds the measurement (each call lasts at least its time, however loaded the
    # host), and no figure exceeds the link's rate.
    for size, v in rows.items():
        measured, model = v[:3], v[3:]
        check(all(0 < m <= e * 1.001 <= 2.002 for m, e in zip(measured, model)),
              f"above the model: {v}")
    # Again without the model: no model columns.
    rc, stdout, _ = run(tool, *args)
    check(rc == 0 and table(os.path.join(out, "scaling.txt"))[2][-1] == "P=8", "no model")

    # Refusals: status 2 and a message; a failing run: status 1, naming its output.
    for what, bad, text in (
            ("no {P}", ["--ranks", "2", "--launcher", "mpirun -np 2", "--", prog], "{P}"),
            ("-s given", ["--ranks", "2", "--threads", "--", prog, "-s", "2"], "leave it out"),
            ("bad ranks", ["--ranks", "2,x", "--threads", "--", prog], "comma list"),
            ("rank twice", ["--ranks", "2,2", "--threads", "--", prog], "appears twice"),
            ("neither", ["--ranks", "2", "--", prog], "one of the arguments"),
            ("both", ["--ranks", "2", "--threads", "--launcher", "x {P}", "--", prog],
             "not allowed with")):
        rc, _, err = run(tool, *bad)
        check(rc == 2 and text in err, f"{what}: {rc} {err}")
    rc, _, err = run(tool, "--ranks", "2", "--threads", "--out", os.path.join(tmp, "f"), "--",
                     prog, "-t", "flaot")
    check(rc == 1 and "the run at 2 ranks failed (status 1)" in err and "ranks-2.out" in err,
          f"failing run: {rc} {err}")
    rc, stdout, _ = run(tool, "--help")
    check(rc == 0 and "--launcher" in stdout and "Exit status" in stdout, "--help")


def group_launcher(tool, bin_dir, tmp, launcher, ranks, prog, what):
    out = os.path.join(tmp, what)
    rc, stdout, err = run(tool, "--ranks", ",".join(map(str, ranks)), "--launcher", launcher,
                          "--out", out, "--", os.path.join(bin_dir, prog), "-n", "16K", "-x",
                          "1M", "-m", "8", "-l", "2")
    check(rc == 0 and f"3 counts at {len(ranks)} rank counts" in stdout,
          f"{what}: {rc} {stdout} {err}")
    if rc == 0:
        check_sweep(what, out, ranks, stdout, False)


def main():
    tool, bin_dir, group = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as tmp:
        if group == "threads":
            group_threads(tool, bin_dir, tmp)
        elif group == "mpirun":
            group_launcher(tool, bin_dir, tmp, f"{sys.argv[4]} -np {{P}} --oversubscribe "
                           "--bind-to none", [2, 4], "bench-allgather", "mpirun")
        else:
            cluster = os.path.join(os.path.dirname(os.path.abspath(tool)), "cluster",
                                   "mpirun.sh")
            if subprocess.run([cluster, "--check"], capture_output=True).returncode != 0:
                print("cluster test skipped: no namespaces here (tools/cluster/mpirun.sh --check)")
                return 0
            group_launcher(tool, bin_dir, tmp, f"{cluster} -H {{P}} -np {{P}}", [2, 3],
                           "bench-allreduce", "cluster")
    return summary()


if __name__ == "__main__":
    sys.exit(main())
