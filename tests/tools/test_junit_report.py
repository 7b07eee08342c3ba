"""Checks of tools/junit_report.py: the JUnit file read back with xml.etree, on records and a
comparison made here.

Usage: test_junit_report.py TOOL
"""
import json
import os
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # the shared checks beside this file; keep the tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from tooltest import check, run, summary  # noqa: E402



def row(bytes_, latency, errors=0, first_error=None):
    return {"bytes": bytes_, "count": bytes_ // 4, "type": "float", "redop": "sum",
            "mode": "inplace", "latency_us": latency, "algbw_gbs": 1.0, "busbw_gbs": 1.0,
            "errors": errors, "rank_time_us": None, "first_error": first_error}


def record(**fields):
    doc = {"schema_version": 2, "program": "bench-allreduce", "collective": "AllReduce",
           "ranks": 4, "processes": 2, "loop": 20, "warmup": 5, "datacheck": True,
           "clock": "host", "stress": False, "alltoall_api": None,
           "environment": {"BENCHMARK_REPEAT": "10"}, "started": "2026-12-09T10:00:00Z",
           "verdict": "PASSED", "error": None, "rows": [row(4096, 8.0), row(65536, 32.0)]}
    doc.update(fields)
    return doc


def cases(path):
    """{name: (classname, failure message or None, failure text)} of a JUnit file."""
    root = ET.parse(path).getroot()
    found = {}
    for case in root.iter("testcase"):
        f = case.find("failure")
        found[case.get("name")] = (case.get("classname"), None if f is None else f.get("message"),
                                   None if f is None else f.text)
    return root, found


def main():
    tool = sys.argv[1]
    compare = os.path.join(os.path.dirname(os.path.abspath(tool)), "compare_results.py")
    with tempfile.TemporaryDirectory() as tmp:
        def write(name, doc):
            path = os.path.join(tmp, name)
            with open(path, "w") as f:
                f.write(json.dumps(doc) if isinstance(doc, dict) else doc)
            return path

        good = write("good.json", record())
        failed = write("failed.json", record(verdict=None, error="error msg: internal error"))
        wrong = write("wrong.json", record(
            verdict="FAILED", program="bench-alltoall", collective="AlltoAllv",
            alltoall_api="alltoallv", rows=[row(4096, 8.0, errors=3, first_error={
                "rank": 1, "index": 5, "expected": "3", "received": "4"}), row(65536, 32.0)]))
        out = os.path.join(tmp, "j.xml")

        # Every record a test case, named by program, collective and settings.
        rc, stdout, err = run(tool, good, failed, wrong, "-o", out)
        check(rc == 1 and "3 test cases, 2 failed" in stdout, f"records: {rc} {stdout} {err}")
        root, found = cases(out)
        check(root.tag == "testsuites" and root.get("tests") == "3" and root.get("failures") == "2",
              f"totals: {ET.tostring(root)[:200]}")
        name = ("bench-allreduce AllReduce, 4 ranks in 2 processes, -l 20 -w 5 -d 1 "
                "BENCHMARK_REPEAT=10")
        # Same settings: the file names tell the two apart.
        check(found.get(f"{name} ({good})") == ("bench-allreduce", None, None),
              f"passed record: {found}")
        failed_case = [v for k, v in found.items() if v[1] == "error msg: internal error"]
        check(len(failed_case) == 1 and "verdict: none" in failed_case[0][2],
              f"failed record: {found}")
        wrong_case = [v for k, v in found.items() if k.startswith("bench-alltoall AlltoAllv")
                      and "alltoallv" in k]
        check(len(wrong_case) == 1 and wrong_case[0][1].startswith("4096 bytes, 1024 x float sum")
              and "first at rank 1, index 5: expected 3, received 4" in wrong_case[0][2],
              f"wrong elements: {found}")

        # A comparison: its own test case, and a failing one per regressed row.
        slow = write("slow.json", record(rows=[row(4096, 8.0), dict(row(65536, 32.0),
                                                                     busbw_gbs=0.5)]))
        p = subprocess.run([sys.executable, compare, good, slow], capture_output=True, text=True,
                           timeout=60)
        cmp_path = write("cmp.txt", p.stdout)
        rc, stdout, err = run(tool, good, "--compare", cmp_path, "-o", out)
        root, found = cases(out)
        regressed = [k for k in found if k.startswith("regressed: ")]
        check(p.returncode == 1 and rc == 1 and root.get("tests") == "3"
              and regressed == ["regressed: 65536 bytes, 16384 x float sum, inplace"]
              and "ratio 0.500" in found[regressed[0]][1]
              and found[f"comparison {cmp_path}"][1].startswith("1 of 2 rows regressed"),
              f"comparison: {rc} {stdout} {err} {found}")
        p = subprocess.run([sys.executable, compare, good, good], capture_output=True, text=True,
                           timeout=60)
        rc, stdout, _ = run(tool, "--compare", write("same.txt", p.stdout), "-o", out)
        check(rc == 0 and "1 test cases, 0 failed" in stdout, f"no regression: {rc} {stdout}")

        # Refusals: status 2, a message, nothing written.
        os.unlink(out)
        for what, args, text in (
                ("missing record", [os.path.join(tmp, "none.json")], "cannot read"),
                ("CSV file", [write("r.csv", "bytes,count,type,in-avg-lat(us),in-algo-bw(GB/s),"
                                          "in-bus-bw(GB/s),in-error\n4096,1024,float,1,1,1,0\n")],
                 "not a run record"),
                ("not a comparison", ["--compare", write("x.txt", "hello\n")], "no verdict line"),
                ("unwritable", [good, "-o", os.path.join(tmp, "no", "j.xml")], "cannot write")):
            full = args if "-o" in args else args + ["-o", out]
            rc, _, err = run(tool, *full)
            check(rc == 2 and text in err and not os.path.exists(out), f"{what}: {rc} {err}")
        rc, _, err = run(tool, "-o", out)
        check(rc == 2 and "usage:" in err, f"no input: {rc} {err}")
        rc, stdout, _ = run(tool, "--help")
        check(rc == 0 and "Exit status" in stdout, "--help")
    return summary()


if __name__ == "__main__":
    sys.exit(main())
