#!/usr/bin/env python3
"""Fault injection: which hand-made faults does the test suite catch?

The faults are listed in faults.json beside this script: each replaces one
exact piece of text ("find", found exactly once) in one source file by another
("into"). Id prefixes: L library numerics, D document readers and writers,
R readers of damaged input (NIfTI, motion files, masks),
P the plug-in shell, H the stand-in host, T the tremora program.
For every fault the script applies it, rebuilds a release build incrementally,
runs ctest there and records the failing tests, then puts the file back byte
for byte (also on Ctrl-C or an error). A fault counts as caught when at least
one test fails. Never commit while it runs: it edits the sources in place.

    tests/faults/inject.py                      all faults; writes tests/faults/baseline.md
    tests/faults/inject.py L01 T03              only these; prints the table
    tests/faults/inject.py --check tests/faults/baseline.md
                                                the faults caught there must still be caught
                                                (exit status 1 otherwise)
    tests/faults/inject.py --list               the faults, without running anything
    tests/faults/inject.py --focused tests/faults/baseline.md
                                                all faults, each with only the tests that caught it
                                                there (the whole suite for a fault new to the list);
                                                a fault still caught that way is caught by the suite

Not part of CI: a full run takes about 45 minutes on two cores, a --focused one less.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BASELINE = os.path.join("tests", "faults", "baseline.md")
# A parameterised test's name is followed by "# GetParam() = ..." before the reason.
FAILED_LINE = re.compile(r"^\s*\d+\s+-\s+(\S+).*\((\w+)\)\s*$")


def load_faults():
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "faults.json")) as f:
        faults = json.load(f)
    problems, seen = [], set()
    for fault in faults:
        if fault["id"] in seen:
            problems.append(f"{fault['id']}: the id is used twice")
        seen.add(fault["id"])
        try:
            count = read(fault["file"]).count(fault["find"].encode())
        except OSError as e:
            problems.append(f"{fault['id']}: {e}")
            continue
        if count != 1:
            problems.append(f"{fault['id']}: the text to find occurs {count} times in {fault['file']}")
        if fault["find"] == fault["into"]:
            problems.append(f"{fault['id']}: the replacement changes nothing")
    if problems:
        sys.exit("faults that cannot be applied:\n  " + "\n  ".join(problems))
    return faults


def read(path):
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read()


def write(path, data):
    with open(os.path.join(ROOT, path), "wb") as f:
        f.write(data)


def run(command, log):
    """Runs a command at low priority; returns (status, output)."""
    result = subprocess.run(["nice", "-n", "10"] + command, cwd=ROOT, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    with open(log, "a") as f:
        f.write(f"$ {' '.join(command)}\n{result.stdout}\n")
    return result.returncode, result.stdout


def build_and_test(build, jobs, log, tests):
    """None when the build fails, else the failing tests (ctest's list after "The following tests FAILED")."""
    if run(["cmake", "--build", build, "-j", str(jobs)], log)[0] != 0:
        return None
    status, output = run(["ctest", "--test-dir", build, "-j", str(jobs), "--timeout", "120"]
                         + (["-R", tests] if tests else []), log)
    listing = output.split("The following tests FAILED:")[-1] if "tests FAILED" in output else ""
    failed = [m.group(1) for m in map(FAILED_LINE.match, listing.splitlines()) if m]
    if status != 0 and not failed:
        # ctest failed without naming a test (a crash of ctest itself, no tests found).
        failed = ["(ctest failed: " + (output.strip().splitlines() or ["no output"])[-1] + ")"]
    return failed


def catching_tests(results_file):
    """Per fault id, the failing tests recorded in a table written by this script."""
    with open(results_file) as f:
        rows = [[c.strip() for c in line.strip().strip("|").split("|")] for line in f]
    return {cells[0]: [t.strip() for t in cells[4].split(",") if t.strip()]
            for cells in rows if len(cells) >= 5 and cells[3] == "yes"}


def exact_names(names):
    """A ctest -R expression selecting exactly these tests."""
    return "^(" + "|".join(re.escape(n) for n in names) + ")$"


def inject(fault, build, jobs, log, tests):
    original = read(fault["file"])
    try:
        write(fault["file"], original.replace(fault["find"].encode(), fault["into"].encode(), 1))
        return build_and_test(build, jobs, log, tests)
    finally:
        write(fault["file"], original)


def report(results, seconds, build, focused):
    ran = [r for r in results if r[1] is not None]
    missed = [f for f, failed in ran if not failed]
    lines = ["# Injected faults and the tests that catch them", "",
             f"Written by `tests/faults/inject.py` (release build in `{os.path.basename(build)}`, "
             "`ctest -j2 --timeout 120`). Each fault was applied alone, the tree rebuilt and "
             + (f"the tests that caught it in `{focused}` run (the whole suite for a fault not caught there), "
                "so the failing tests listed are those of that selection; " if focused else "the whole suite run; ")
             + "the file was restored afterwards.", "",
             f"{len(results)} faults, {len(ran) - len(missed)} caught, {len(missed)} not caught"
             + (f", {len(results) - len(ran)} did not compile" if len(ran) != len(results) else "")
             + f"; {seconds / 60:.0f} minutes.", "",
             "| id | file | fault | caught | failing tests |", "| --- | --- | --- | --- | --- |"]
    for fault, failed in results:
        caught = "did not compile" if failed is None else ("yes" if failed else "**no**")
        cells = [fault["id"], "`" + fault["file"] + "`", fault["what"], caught, ", ".join(failed or [])]
        lines.append("| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |")
    if missed:
        lines += ["", "## Not caught", ""] + [f"- {f['id']} (`{f['file']}`): {f['what']}" for f in missed]
    return "\n".join(lines) + "\n"


def caught_ids(results_file):
    """The ids marked caught in a table written by this script."""
    with open(results_file) as f:
        rows = [[c.strip() for c in line.strip().strip("|").split("|")] for line in f]
    return [cells[0] for cells in rows if len(cells) >= 4 and cells[3] == "yes"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ids", nargs="*", help="faults to run (default: all)")
    parser.add_argument("--build", default="build-faults", help="release build folder (default: build-faults)")
    parser.add_argument("--out", help="markdown table to write (default: tests/faults/baseline.md for a full run)")
    parser.add_argument("--check", metavar="RESULTS", help="run the faults marked caught in RESULTS; "
                        "exit 1 when one of them is no longer caught")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--tests", metavar="REGEX", help="run only the tests ctest -R REGEX selects")
    parser.add_argument("--focused", metavar="RESULTS", help="run each fault with only the tests "
                        "that caught it in RESULTS (quicker; the whole suite for the others)")
    parser.add_argument("--list", action="store_true", help="list the faults and check that they apply")
    args = parser.parse_args()

    faults = load_faults()
    by_id = {f["id"]: f for f in faults}
    if args.list:
        for f in faults:
            print(f"{f['id']}  {f['file']}: {f['what']}")
        print(f"{len(faults)} faults, each applies exactly once")
        return 0
    unknown = [i for i in args.ids + (caught_ids(args.check) if args.check else []) if i not in by_id]
    if unknown:
        sys.exit("unknown fault ids: " + ", ".join(unknown))
    selected = [by_id[i] for i in args.ids] if args.ids else faults
    if args.check:
        selected = [f for f in selected if f["id"] in caught_ids(args.check)]
    out = args.out or (BASELINE if not args.ids and not args.check and not args.focused else None)
    focus = catching_tests(args.focused) if args.focused else {}

    build = os.path.abspath(os.path.join(ROOT, args.build))
    log = os.path.join(build, "faults.log")
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        os.makedirs(build, exist_ok=True)
        # A fault in a shared library then relinks that library alone: the
        # programs and tests load it at run time, so they see the fault as built.
        if run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON"], log)[0] != 0:
            sys.exit(f"configuring {build} failed; see {log}")
    open(log, "w").close()
    # Ctrl-C (even where it was ignored, as in a background job) and a
    # termination request both end the run with the file restored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

    start, results = time.time(), []
    try:
        for n, fault in enumerate(selected, 1):
            t0 = time.time()
            tests = exact_names(focus[fault["id"]]) if fault["id"] in focus else args.tests
            failed = inject(fault, build, args.jobs, log, tests)
            if failed == [] and fault["id"] in focus:
                # Renamed or moved tests: the whole suite has the last word.
                failed = inject(fault, build, args.jobs, log, args.tests)
            results.append((fault, failed))
            verdict = "did not compile" if failed is None else (f"caught by {len(failed)}" if failed else "NOT CAUGHT")
            print(f"[{n}/{len(selected)}] {fault['id']} {verdict} ({time.time() - t0:.0f} s)", flush=True)
    except KeyboardInterrupt:
        # What was run so far still counts: its table is printed.
        print(report(results, time.time() - start, build, args.focused))
        print(f"interrupted after {len(results)} of {len(selected)} faults; every file is restored", file=sys.stderr)
        return 130
    # Leave the build as the restored tree makes it, not with the last fault's objects.
    run(["cmake", "--build", build, "-j", str(args.jobs)], log)

    text = report(results, time.time() - start, build, args.focused)
    if out:
        with open(os.path.join(ROOT, out), "w") as f:
            f.write(text)
        print(f"wrote {out}")
    else:
        print(text)
    print(f"log of the builds and test runs: {log}")
    if args.check:
        lost = [f["id"] for f, failed in results if not failed]
        if lost:
            print("no longer caught: " + ", ".join(lost), file=sys.stderr)
            return 1
        print(f"all {len(results)} faults are still caught")
    return 0


if __name__ == "__main__":
    sys.exit(main())
