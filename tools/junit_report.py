#!/usr/bin/python3
"""Turn run records, and optionally a comparison, into a JUnit XML file for a CI server.

One test case per record (BENCHMARK_RECORD=PATH), named by program, collective and settings:
it fails when the run did not pass, with the record's error or the first mismatching element
as the failure text. With --compare FILE (the standard output of compare_results.py, saved),
one more test case for the comparison and one failing test case per regressed row. Exit
status: 0 when every test case passed, 1 when one failed (the file is written either way), 2
when an input cannot be read or the file cannot be written (nothing is written then).
"""
import argparse
import os
import re
import sys
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # the shared reader beside this file; keep the tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import result_files as rf  # noqa: E402

PROG = os.path.basename(__file__)
SUITE = "oxcl-benchmark"


def warn(msg):
    print(f"{PROG}: warning: {msg}", file=sys.stderr)


def case_name(meta):
    """"bench-allreduce AllReduce, 4 ranks in 2 processes, -l 20 -w 5 -d 1": what tells two
    runs of a nightly job apart."""
    parts = [meta.get("program") or "?"]
    shape = rf.Results("", [], meta).describe()
    if shape:
        parts.append(shape)
    settings = []
    for field, flag in (("loop", "-l"), ("warmup", "-w")):
        if isinstance(meta.get(field), int):
            settings.append(f"{flag} {meta[field]}")
    if isinstance(meta.get("datacheck"), bool):
        settings.append(f"-d {int(meta['datacheck'])}")
    if meta.get("stress"):
        settings.append("-# 1")
    if meta.get("clock") == "device":
        settings.append("device clock")
    if meta.get("alltoall_api"):
        settings.append(meta["alltoall_api"])
    repeat = (meta.get("environment") or {}).get("BENCHMARK_REPEAT")
    if repeat:
        settings.append(f"BENCHMARK_REPEAT={repeat}")
    return " ".join([parts[0], ", ".join(parts[1:] + ([" ".join(settings)] if settings else []))]
                    ).strip()


def record_failure(results):
    """(message, text) of a record whose run did not pass, else None."""
    meta = results.meta or {}
    verdict, error = meta.get("verdict"), meta.get("error")
    bad_rows = [r for r in results.rows if r.get("errors")]
    if verdict == "PASSED" and not error and not bad_rows:
        return None
    message = error or (f"verdict {verdict}" if verdict else "the run ended before its verdict")
    lines = [f"verdict: {verdict or 'none'}", f"error: {error or 'none'}"]
    for row in bad_rows[:10]:
        line = f"{rf.key_text(rf.row_key(row))}: {row['errors']} wrong elements"
        first = row.get("first_error")
        if isinstance(first, dict):
            line += (f"; first at rank {first.get('rank')}, index {first.get('index')}: "
                     f"expected {first.get('expected')}, received {first.get('received')}")
        lines.append(line)
    if len(bad_rows) > 10:
        lines.append(f"and {len(bad_rows) - 10} more rows with wrong elements")
    if bad_rows and not error:
        message = lines[2]
    return message, "\n".join(lines)


ROW = re.compile(r"^\s*(\d+)\s+(\d+)\s+(\S+)\s+(\S+)\s+(inplace|outofplace)\s+(\S+)\s+(\S+)\s+"
                 r"(\S+)\s+(\S+)\s+(\S+)\s+(.*)$")


def read_compare(path):
    """(regressed rows, the summary line, the whole text) of compare_results.py's output."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise rf.InputError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}")
    regressed, summary = [], None
    for line in text.splitlines():
        m = ROW.match(line)
        if m and m.group(11).startswith("regressed"):
            bytes_, count, dtype, redop, mode, base, new, ratio, p, _, verdict = m.groups()
            key = (int(bytes_), int(count), dtype, None if redop == "-" else redop, mode)
            regressed.append((rf.key_text(key), f"base {base}, new {new}, ratio {ratio}, "
                                                f"p(adj) {p}: {verdict}"))
        elif line.startswith(("no regression:", "rows regressed")) or " rows regressed " in line:
            summary = line
    if summary is None:
        raise rf.InputError(f"{path}: not the output of compare_results.py (no verdict line)")
    return regressed, summary, text


def build(records, compare, compare_path):
    suite = ET.Element("testsuite", name=SUITE)
    cases = failures = 0
    started = sorted(r.meta["started"] for r in records if r.meta and r.meta.get("started"))
    if started:
        suite.set("timestamp", started[0].rstrip("Z"))

    def add(classname, name, failure=None):
        nonlocal cases, failures
        case = ET.SubElement(suite, "testcase", classname=classname, name=name, time="0")
        cases += 1
        if failure:
            failures += 1
            message, text = failure
            node = ET.SubElement(case, "failure", message=message, type="failure")
            node.text = text
        return case

    names = [case_name(r.meta or {}) for r in records]
    for results, name in zip(records, names):
        meta = results.meta or {}
        if names.count(name) > 1:  # runs of the same settings: their files tell them apart
            name += f" ({results.path})"
        case = add(meta.get("program") or "record", name, record_failure(results))
        ET.SubElement(case, "system-out").text = f"record: {results.path}"
    if compare is not None:
        regressed, summary, text = compare
        add("compare_results", f"comparison {compare_path}",
            (summary, text) if regressed else None)
        for key, detail in regressed:
            add("compare_results", f"regressed: {key}", (detail, detail))
    suite.set("tests", str(cases))
    suite.set("failures", str(failures))
    suite.set("errors", "0")
    suite.set("skipped", "0")
    root = ET.Element("testsuites", name=SUITE, tests=str(cases), failures=str(failures))
    root.append(suite)
    return root, failures


def write(root, path):
    ET.indent(root)
    temp = f"{path}.tmp.{os.getpid()}"
    try:
        ET.ElementTree(root).write(temp, encoding="utf-8", xml_declaration=True)
        os.replace(temp, path)
    except OSError as e:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise rf.InputError(f"cannot write {path}: {e.strerror or e}")


def main(argv):
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Write a JUnit XML file from run records (BENCHMARK_RECORD=PATH): one\n"
                    "test case per record, failed when its run did not pass (the record's\n"
                    "error or first wrong element as the text). With --compare, the saved\n"
                    "output of compare_results.py adds a test case for the comparison and a\n"
                    "failed one per regressed row.\n"
                    "Exit status: 0 every test case passed, 1 some failed (the file is\n"
                    "written either way), 2 an input cannot be read or the file written.",
        epilog="example (a nightly job):\n"
               "  BENCHMARK_RECORD=runs/ build/bin/bench-allreduce -d 1 -s 2 -n 1K -x 16M\n"
               "  tools/compare_results.py base/ runs/ > runs/compare.txt\n"
               f"  {PROG} runs/*.json --compare runs/compare.txt -o junit.xml")
    parser.add_argument("records", nargs="*", metavar="RECORD", help="run records")
    parser.add_argument("-o", "--output", required=True, metavar="FILE.xml",
                        help="the JUnit file to write")
    parser.add_argument("--compare", metavar="FILE",
                        help="the standard output of compare_results.py, saved to a file")
    args = parser.parse_args(argv)
    if not args.records and not args.compare:
        parser.error("give at least one RECORD or --compare FILE")
    try:
        records = []
        for path in args.records:
            results = rf.read(path, warn)
            if results.meta is None:
                raise rf.InputError(f"{path}: a CSV file, not a run record (BENCHMARK_RECORD)")
            records.append(results)
        compare = read_compare(args.compare) if args.compare else None
        root, failures = build(records, compare, args.compare)
        write(root, args.output)
    except rf.InputError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    total = int(root.get("tests"))
    print(f"wrote {args.output}: {total} test cases, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
