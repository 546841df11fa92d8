#!/usr/bin/env python3
"""Mutation check: applies each hand-made fault of mutations.txt to a source tree, rebuilds,
runs the test suite and reports whether a test caught it.  The source file is always restored.

    run.py --source SRC --build BUILD [--only ID,ID] [--out FILE] [--list FILE]

Results: caught (a test fails, and fails again when rerun alone), survived, flaky (failures
that never repeated), stale (no alternative matches exactly once), build-error.
"""
import argparse
import pathlib
import re
import signal
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent


# Test names of each area, run first so that a fault is usually caught within seconds.
AREA_TESTS = {
    "parser": "RequestParser|request_fuzz|ServerE2E|Server\\.",
    "codec": "Wsp",
    "kernel link": "Xgate",
    "documents": "Soap|ResponseStatus",
    "delivery": "Delivery|Spool|delivery_fuzz",
    "turbo": "Turbo|Fetched",
    "metrics": "Metrics",
    "log": "Log\\.|Mainloop|StringUtils|XgateEndToEnd|ByteByByte|HostilePdus|SendsAndTheirFailures",
    "accounts": "Accounts|MessageOwners",
}


def parse(path):
    """Mutation blocks: {id, area, desc, file, alts: [(search, replacement)]}."""
    muts, cur, search = [], None, None
    for n, line in enumerate(path.read_text().splitlines(), 1):
        if line.startswith("## "):
            ident, area, desc = (p.strip() for p in line[3:].split(":", 2))
            cur = {"id": ident, "area": area, "desc": desc, "file": None, "alts": []}
            muts.append(cur)
        elif cur is None or not line.strip():
            continue
        elif line.startswith("file:"):
            cur["file"] = line[5:].strip()
        elif line.startswith("-"):
            search = line[2:] if line.startswith("- ") else line[1:]
        elif line.startswith("+") and search is not None:
            cur["alts"].append((search, line[2:] if line.startswith("+ ") else line[1:]))
            search = None
        else:
            sys.exit(f"{path}:{n}: cannot read: {line}")
    return muts


def run(cmd, log):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          errors="replace")
    log.write(f"$ {' '.join(cmd)}\n{proc.stdout}\n")
    return proc


def first_failure(output):
    """The test that failed first in time (the summary list is in test number order)."""
    m = re.search(r"Test\s+#\d+: (\S+) .*\*\*\*(?:Failed|Timeout|Exception)", output) or re.search(
        r"tests FAILED:\s*\n\s*\d+ - (\S+)", output)
    return m.group(1) if m else "?"


def check(mut, src, build, log):
    path = src / mut["file"]
    original = path.read_bytes()
    text = original.decode()
    alt = next((a for a in mut["alts"] if text.count(a[0]) == 1), None)
    if alt is None:
        return "stale", ""
    try:
        path.write_text(text.replace(alt[0], alt[1], 1))
        if run(["cmake", "--build", str(build), "-j2"], log).returncode != 0:
            return "build-error", ""
        ctest = ["ctest", "--test-dir", str(build), "--timeout", "240", "--output-on-failure"]
        # The whole suite in three stages: the tests of the fault's own area, the other quick
        # tests, then the end-to-end ones; most faults are caught before the daemon runs at all.
        # A failure counts when the failing tests fail again on their own; one that does not
        # repeat (a test upset by the machine's load) gets its stage run once more.
        for stage in (["-R", AREA_TESTS.get(mut["area"], "^$")], ["-LE", "e2e"], ["-L", "e2e"]):
            for _ in range(2):
                proc = run(ctest + ["--stop-on-failure", "-j2", *stage], log)
                if proc.returncode == 0:
                    break
                failing = first_failure(proc.stdout)
                if run(ctest + ["--rerun-failed"], log).returncode != 0:
                    return "caught", failing
                log.write(f"{mut['id']}: {failing} did not fail again\n")
            else:
                return "flaky", failing
        return "survived", ""
    finally:
        path.write_bytes(original)


def table(rows):
    esc = lambda s: str(s).replace("|", "\\|")
    lines = ["| id | area | description | result | first failing test |", "|---|---|---|---|---|"]
    lines += ["| " + " | ".join(esc(c) for c in r) + " |" for r in rows]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True, type=pathlib.Path)
    ap.add_argument("--build", required=True, type=pathlib.Path)
    ap.add_argument("--only", default="")
    ap.add_argument("--out", type=pathlib.Path)
    ap.add_argument("--list", type=pathlib.Path, default=HERE / "mutations.txt")
    args = ap.parse_args()
    # A stop by SIGTERM or SIGHUP unwinds like Ctrl-C, so the file is restored.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.default_int_handler)
    only = set(filter(None, args.only.split(",")))
    muts = [m for m in parse(args.list) if not only or m["id"] in only]
    rows, start = [], time.time()
    with open(args.build / "mutations.log", "w") as log:
        try:
            for m in muts:
                t = time.time()
                result, failing = check(m, args.source, args.build, log)
                rows.append((m["id"], m["area"], m["desc"], result, failing))
                print(f"{m['id']}: {result} {failing} ({time.time() - t:.0f} s)", flush=True)
                if args.out:
                    args.out.write_text(table(rows))
        finally:
            print("rebuilding the unmutated tree", flush=True)
            run(["cmake", "--build", str(args.build), "-j2"], log)
    summary = {r: sum(1 for row in rows if row[3] == r)
               for r in ("caught", "survived", "flaky", "stale", "build-error")}
    print(table(rows) + f"\n{summary}, {time.time() - start:.0f} s")


if __name__ == "__main__":
    main()
