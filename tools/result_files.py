"""Reading of the result files of the benchmark programs, shared by the tools beside it.

Two kinds are read: the run record that BENCHMARK_RECORD=PATH writes (one JSON document per run,
with the run's settings and unrounded values) and the result CSV file that -p writes (the table
only). Either way a file becomes a list of rows, one per table row and buffer mode, with the
keys of the record: bytes, count, type, redop (None without one), mode ("inplace" or
"outofplace"), latency_us, algbw_gbs, busbw_gbs, errors, and samples_us (a list, or None where
the file has none). Python's standard library only.
"""
import csv
import importlib.util
import io
import json
import math
import os
import sys

HEAD = ["bytes", "count", "type"]
GROUP = ["avg-lat(us)", "algo-bw(GB/s)", "bus-bw(GB/s)", "error"]
# Mode prefixes of the CSV columns and the mode names of the record.
CSV_MODES = {"in": "inplace", "out": "outofplace"}
MODES = ("inplace", "outofplace")
NUMBERS = ("latency_us", "algbw_gbs", "busbw_gbs")


class InputError(Exception):
    pass


class Results:
    """The rows of one file; `meta` is the record's other fields (None for a CSV file)."""

    def __init__(self, path, rows, meta=None):
        self.path = path
        self.rows = rows
        self.meta = meta

    @property
    def collective(self):
        return self.meta.get("collective") if self.meta else None

    def describe(self):
        """"AllReduce, 4 ranks in 2 processes", or "" when the file does not say."""
        if not self.meta:
            return ""
        parts = [self.meta.get("collective") or self.meta.get("program") or "?"]
        ranks, procs = self.meta.get("ranks"), self.meta.get("processes")
        if isinstance(ranks, int):
            where = f"{ranks} rank" + ("s" if ranks != 1 else "")
            if isinstance(procs, int) and procs > 1:
                where += f" in {procs} processes"
            parts.append(where)
        return ", ".join(parts)


def parse_header(names):
    """Returns (has_redop, [(mode prefix, first column of its group)]) or raises InputError."""
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
        if mode not in CSV_MODES or rest[g:g + len(GROUP)] != [f"{mode}-{c}" for c in GROUP]:
            raise InputError("unknown CSV header (unexpected result columns "
                             + ",".join(rest[g:g + len(GROUP)]) + ")")
        if any(m == mode for m, _ in groups):
            raise InputError(f"unknown CSV header (mode '{mode}' appears twice)")
        groups.append((mode, first + g))
    return has_redop, groups


def read_csv(path, text, warn):
    try:
        lines = list(csv.reader(io.StringIO(text, newline="")))
    except csv.Error as e:
        raise InputError(f"cannot read {path}: {e}")
    lines = [(n, [c.strip() for c in row]) for n, row in enumerate(lines, 1)
             if any(c.strip() for c in row)]
    if not lines:
        raise InputError(f"{path}: empty file, no CSV header")
    header = lines[0][1]
    try:
        has_redop, groups = parse_header(header)
    except InputError as e:
        raise InputError(f"{path}: {e}")
    rows = []
    for n, fields in lines[1:]:
        if fields == header:  # files joined with cat repeat the header
            continue
        # A run that ended early can leave a last row with only its first mode group.
        if len(fields) != len(header):
            warn(f"{path}:{n}: skipped, {len(fields)} fields instead of {len(header)}")
            continue
        try:
            head = {"bytes": int(fields[0]), "count": int(fields[1]), "type": fields[2],
                    "redop": fields[3] if has_redop else None}
            rows.extend([dict(head, mode=CSV_MODES[mode], latency_us=float(fields[at]),
                              algbw_gbs=float(fields[at + 1]), busbw_gbs=float(fields[at + 2]),
                              errors=int(fields[at + 3]), samples_us=None)
                         for mode, at in groups])
        except ValueError:
            warn(f"{path}:{n}: skipped, not a number in a bytes, latency or bandwidth field")
            continue
    return Results(path, rows)


def _number(value, integer):
    if isinstance(value, bool):
        return False
    if integer:
        return isinstance(value, int)
    return value is None or (isinstance(value, (int, float)) and math.isfinite(value))


def read_record(path, text):
    def fail(what):
        raise InputError(f"{path}: not a run record ({what})")

    try:
        doc = json.loads(text)
    except ValueError as e:
        raise InputError(f"{path}: not a run record (invalid JSON: {e})")
    if not isinstance(doc, dict) or not isinstance(doc.get("rows"), list):
        fail("no 'rows' list")
    rows = []
    for i, row in enumerate(doc["rows"], 1):
        if not isinstance(row, dict):
            fail(f"row {i} is not an object")
        for key in ("bytes", "count", "errors"):
            if not _number(row.get(key), True):
                fail(f"row {i}: '{key}' is not an integer")
        for key in NUMBERS:
            if key not in row or not _number(row[key], False):
                fail(f"row {i}: '{key}' is not a number")
        if not isinstance(row.get("type"), str) or row.get("mode") not in MODES:
            fail(f"row {i}: bad 'type' or 'mode'")
        if row.get("redop") is not None and not isinstance(row["redop"], str):
            fail(f"row {i}: bad 'redop'")
        samples = row.get("samples_us")
        if samples is not None and (not isinstance(samples, list) or not samples or not all(
                _number(v, False) and v is not None and v >= 0 for v in samples)):
            fail(f"row {i}: 'samples_us' is not a list of times")
        rows.append(dict(row, redop=row.get("redop"), samples_us=samples))
    meta = {k: v for k, v in doc.items() if k != "rows"}
    return Results(path, rows, meta)


def read(path, warn):
    """Reads a run record or a result CSV file; raises InputError with a message for the user.
    `warn` receives the messages about rows that were skipped."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        text = data.decode("utf-8")
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror or e}")
    except UnicodeDecodeError:
        raise InputError(f"cannot read {path}: not a text file")
    if text.lstrip().startswith("{"):
        results = read_record(path, text)
    else:
        results = read_csv(path, text, warn)
    return results


def row_key(row):
    """What identifies a row across runs."""
    return (row["bytes"], row["count"], row["type"], row["redop"], row["mode"])


def key_text(key):
    bytes_, count, dtype, redop, mode = key
    return f"{bytes_} bytes, {count} x {dtype}" + (f" {redop}" if redop else "") + f", {mode}"


def samples(row, field):
    """The row's values of `field` (latency_us, algbw_gbs or busbw_gbs), one per timed block
    where the record keeps the blocks (BENCHMARK_REPEAT), else its one value; [] for none. A
    block's bandwidth is the row's scaled by the times, the bytes being the same."""
    value = row.get(field)
    if value is None:
        return []
    times = row.get("samples_us")
    if not times:
        return [value]
    if field == "latency_us":
        return list(times)
    latency = row.get("latency_us")
    if not latency:
        return [value]
    # The factor first: the block the row shows gives back the row's value exactly.
    return [value * (latency / t) for t in times if t > 0]


def read_all(path, warn):
    """Reads a file as read() does, or every *.json record of a directory (in name order):
    a list of Results. Raises InputError for a directory without records."""
    if not os.path.isdir(path):
        return [read(path, warn)]
    names = sorted(n for n in os.listdir(path) if n.endswith(".json"))
    if not names:
        raise InputError(f"{path}: a directory without *.json run records")
    return [read(os.path.join(path, n), warn) for n in names]


REEXEC_MARK = "OXCL_TOOLS_PYTHON_TRIED"
SYSTEM_PYTHON = "/usr/bin/python3"


def python_with(module):
    """Returns whether `module` imports here. Where it does not and this is not the system's
    Python (a pyenv or venv one first on PATH, without Debian's packages), runs this program
    again under the system's Python, once; a caller that still lacks it says so itself."""
    # Found, not imported: a program that may not need the module does not pay for it.
    try:
        if importlib.util.find_spec(module.split(".")[0]) is not None:
            return True
    except (ImportError, ValueError):
        pass
    if os.environ.get(REEXEC_MARK) or not os.path.exists(SYSTEM_PYTHON) or \
            os.path.realpath(sys.executable) == os.path.realpath(SYSTEM_PYTHON):
        return False
    env = dict(os.environ, **{REEXEC_MARK: "1"})
    script = os.path.abspath(sys.argv[0])
    os.execve(SYSTEM_PYTHON, [SYSTEM_PYTHON, script, *sys.argv[1:]], env)
