#!/usr/bin/env python3
"""Fault injection: which hand-made faults does the test suite catch?

Each fault replaces one exact piece of text (found exactly once) in one source
file. For every fault the script applies it, rebuilds a release build
incrementally, runs ctest there and records the failing tests, then puts the
file back byte for byte (also on Ctrl-C or an error). A fault counts as caught
when at least one test fails.

    tests/faults/inject.py                      all faults; writes tests/faults/baseline.md
    tests/faults/inject.py L01 T03              only these; prints the table
    tests/faults/inject.py --check tests/faults/baseline.md
                                                the faults caught there must still be caught
                                                (exit status 1 otherwise)
    tests/faults/inject.py --list               the faults, without running anything

Options: --build DIR (default build-faults, configured once as a Release
build), --out FILE (the markdown table to write), --jobs N (default 2),
--tests REGEX (only the tests ctest -R selects, for a quick look at one suite).
Not part of CI: a full run takes about an hour on two cores.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BASELINE = os.path.join("tests", "faults", "baseline.md")


class Fault:
    def __init__(self, id, path, what, search, replace):
        self.id, self.path, self.what, self.search, self.replace = id, path, what, search, replace


F = Fault

# Id prefixes: L library numerics, D document readers and writers, P the
# plug-in shell, H the stand-in host, T the tremora program.
FAULTS = [
    # ---- library numerics
    F("L01", "code/cpp/gridtransformations.cpp", "rigid matrix: sign of the -sin(b) term lost",
      "m[0][2] = -sb;", "m[0][2] = sb;"),
    F("L02", "code/cpp/gridtransformations.cpp", "relative RMS displacement: reference volume never advances",
      "        previous = current;\n", ""),
    F("L03", "code/cpp/gridtransformations.cpp", "sampling grid starts at the volume's edge, not half a voxel in",
      "const glm::tvec3<float> first = (step - extent) * 0.5f;", "const glm::tvec3<float> first = -extent * 0.5f;"),
    F("L04", "code/cpp/tremora.cpp", "displacement task: transform rows and columns swapped (rotation transposed)",
      "{m[0][0], m[1][0], m[2][0], m[0][3], m[0][1], m[1][1],",
      "{m[0][0], m[0][1], m[2][0], m[0][3], m[1][0], m[1][1],"),
    F("L05", "code/cpp/tremora.cpp", "mean relative displacement divided by n - 1",
      "results[3][index] = out[3 * kBlock + k] / n;", "results[3][index] = out[3 * kBlock + k] / (n - 1.0f);"),
    F("L06", "code/cpp/mySDMfunctions.cpp", "detrending: intercept with the wrong sign of the slope term",
      "const float a = (sy - b * sx) / fn;", "const float a = (sy + b * sx) / fn;"),
    F("L07", "code/cpp/mySDMfunctions.cpp", "derivative: central difference with the wrong sign",
      "(c[k + 1] - c[k - 1]) * 0.5f", "(c[k - 1] - c[k + 1]) * 0.5f"),
    F("L08", "code/cpp/mySDMfunctions.cpp", "z-scoring: population standard deviation (n instead of n - 1)",
      "return {m, std::sqrt(s / static_cast<T>(n - 1))};", "return {m, std::sqrt(s / static_cast<T>(n))};"),
    F("L09", "code/cpp/mySDMfunctions.cpp", "spike detection: a value equal to the threshold is a spike",
      "if (v[k] > threshold) found.push_back(static_cast<int>(k));",
      "if (v[k] >= threshold) found.push_back(static_cast<int>(k));"),
    F("L10", "code/cpp/motionmeasures.cpp", "censoring: before and after swapped at the lower end",
      "const long lo = std::max<long>(0, static_cast<long>(s) - before);",
      "const long lo = std::max<long>(0, static_cast<long>(s) - after);"),
    F("L11", "code/cpp/motionmeasures.cpp", "framewise displacement: rotations taken as radians (degree factor dropped)",
      "sum += radius * kDegree * std::fabs(motion[t][k] - motion[t - 1][k]);",
      "sum += radius * std::fabs(motion[t][k] - motion[t - 1][k]);"),
    F("L12", "code/cpp/motionmeasures.cpp", "relative RMS displacement: Ra instead of its transpose",
      "D[i][j] += Ra[k][i] * Rb[k][j];", "D[i][j] += Ra[i][k] * Rb[k][j];"),
    F("L13", "code/cpp/myGLMfunctions.cpp", "adjusted R2: wrong degrees of freedom (n - p + 1)",
      "return 1.0f - scaled / (n - static_cast<float>(p) - 1.0f);",
      "return 1.0f - scaled / (n - static_cast<float>(p) + 1.0f);"),
    F("L14", "code/cpp/myGLMfunctions.cpp", "F of an addition: numerator degrees of freedom from the wrong model "
      "(now the ranks: the confound-only model's rank taken for the task model's)",
      "/ static_cast<float>(r2 - r0)) /", "/ static_cast<float>(r2 - pinvs[1].rank)) /"),
    F("L15", "code/cpp/myGLMfunctions.cpp", "design matrix: constant column added when the SDM has one, not when it lacks one",
      "sdm.HasBaseline() ? 0 : 1", "sdm.HasBaseline() ? 1 : 0"),
    F("L16", "code/cpp/matrixfunctions.cpp", "inverse from the SVD: U and V swapped (transposed inverse)",
      "result.at(i, j) += a.at(j, k) * v.at(i, k) / w[k];", "result.at(i, j) += a.at(i, k) * v.at(j, k) / w[k];"),
    F("L17", "code/cpp/bidsconfounds.cpp", "confounds table: rot_z left in degrees (off by one)",
      "c.values[t] = k < 3 ? v : v * kRadiansPerDegree;", "c.values[t] = k < 2 ? v : v * kRadiansPerDegree;"),
    F("L18", "code/cpp/motionconventions.cpp", "spm import: roll turned the wrong way (Ry(-roll))",
      "m.R = product(product(rotX(-row[3]), rotY(row[4])), rotZ(-row[5]));",
      "m.R = product(product(rotX(-row[3]), rotY(-row[4])), rotZ(-row[5]));"),
    F("L19", "code/cpp/motionconventions.cpp", "fMRIPrep 25+ import: the - c of b = trans + R'c - c dropped",
      "m.t = minus(plus(Vec3d{row[0], row[1], row[2]}, times(rt, c)), c);",
      "m.t = plus(Vec3d{row[0], row[1], row[2]}, times(rt, c));"),
    F("L20", "code/cpp/motionconventions.cpp", "FSL coordinates: x mirrored for a negative determinant, not a positive one",
      "return grid.affineCoded && determinant(linearPart(grid)) > 0.0;",
      "return grid.affineCoded && determinant(linearPart(grid)) < 0.0;"),
    F("L21", "code/cpp/motionconventions.cpp", "fMRIPrep release 25 read with the convention of 24 and before",
      "return major >= 25 ?", "return major > 25 ?"),
    F("L22", "code/cpp/dvars.cpp", "DVARS: upper quartile index floor(0.75 n), not floor(0.75 (n - 1))",
      "quantile(std::size_t(std::floor(0.75 * double(n - 1))))", "quantile(std::size_t(std::floor(0.75 * double(n))))"),
    F("L23", "code/cpp/dvars.cpp", "DVARS: lag-1 autocovariance with the lagged value not mean-removed",
      "if (t + 1 < n) c1 += d * (x[t + 1] - mean);", "if (t + 1 < n) c1 += d * x[t + 1];"),
    F("L24", "code/cpp/dvars.cpp", "DVARS: median of an even count of run values taken as the upper middle value",
      "const double median = 0.5 * (middle[0] + middle[1]);", "const double median = middle[1];"),
    F("L25", "code/cpp/matrixfunctions.cpp", "pseudo-inverse: tolerance absolute, not relative to the largest singular value",
      "static_cast<float>(std::max(m, n)) * std::numeric_limits<float>::epsilon() * largest;",
      "static_cast<float>(std::max(m, n)) * std::numeric_limits<float>::epsilon();"),
    F("L26", "code/cpp/myGLMfunctions.cpp", "adjusted R2 of the full model counts its columns, not its rank",
      "adjustedR2(s.sse2[i], s.sst[i], nf, r2)", "adjustedR2(s.sse2[i], s.sst[i], nf, p2)"),
    # ---- document readers and writers, paths, saving
    F("D01", "code/cpp/mySDM.cpp", "SDM reader: a value starts one character after its sign (off by one)",
      "std::size_t start = dots[j] >= 2 ? dots[j] - 2 : 0;", "std::size_t start = dots[j] >= 1 ? dots[j] - 1 : 0;"),
    F("D02", "code/cpp/mySDM.cpp", "SDM writer: 0 written without its blank (columns misaligned)",
      "if (v >= 0.0f) os << ' ';", "if (v > 0.0f) os << ' ';"),
    F("D03", "code/cpp/mySDM.cpp", "SDM append: constant predictor no longer kept last",
      "const std::size_t at = HasBaseline() ? Predictors.size() - 1 : Predictors.size();",
      "const std::size_t at = Predictors.size();"),
    F("D04", "code/cpp/myMDM.cpp", "MDM reader: SDM path taken from the data path's quotes",
      "SDMPaths.push_back(quoted(1));", "SDMPaths.push_back(quoted(0));"),
    F("D05", "code/cpp/myFMR.cpp", "STC reader: slice and volume order swapped",
      "const std::int64_t start = (z * nv + firstVolume) * image;",
      "const std::int64_t start = (firstVolume * nz + z) * image;"),
    F("D06", "code/cpp/line.cpp", "header lines: key padded one column short",
      "out << std::left << std::setw(width) << (name + \":\");",
      "out << std::left << std::setw(width - 1) << (name + \":\");"),
    F("D07", "code/cpp/stringmanipulation.cpp", "removeExtension cuts at the first dot, not the last",
      "return name.substr(0, name.rfind('.'));", "return name.substr(0, name.find('.'));"),
    F("D08", "code/cpp/atomicfile.cpp", "atomic save: a failed write is not reported and the file is replaced",
      "    if (error != 0) file.fail(error);\n", ""),
    F("D09", "code/cpp/bidsconfounds.cpp", "JSON strings: a name that is not UTF-8 makes the sidecar fail "
      "(moved: the JSON library escapes now; its replacement of bad bytes dropped)",
      "return sidecar.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + \"\\n\";",
      "return sidecar.dump(2) + \"\\n\";"),
    # ---- the plug-in shell
    F("P01", "code/cpp/tremora.cpp", "dispatch: the confound task's name misspelt",
      "else if (task == \"confound\")", "else if (task == \"confounds\")"),
    F("P02", "code/cpp/tremora.cpp", "task error shown without its Error: prefix",
      "        }\n        showMessage(std::string(\"Error: \") + e.what());",
      "        }\n        showMessage(e.what());"),
    F("P03", "code/cpp/tremora.cpp", "confound task reads create_delayed2sq for the t1sqr set",
      "const bool createDelayed1sq = read(delayed1sqSet);", "const bool createDelayed1sq = read(delayed2sqSet);"),
    F("P04", "code/cpp/tremora.cpp", "the mean relative map saved from the maximum relative volume",
      "{mapMeanRel, &maps.meanRelative, meanRelMap.parameter}", "{mapMeanRel, &maps.maxRelative, meanRelMap.parameter}"),
    F("P05", "code/cpp/TMZRPluginInterface.cpp", "version check: the required revision itself refused",
      "return minor == reqMinor && revision >= reqRevision;", "return minor == reqMinor && revision > reqRevision;"),
    F("P06", "code/cpp/taskparameters.h", "task parameters: create_delayed1sq declares the file suffix _t1sq",
      ".output = \"_t1sqr\",", ".output = \"_t1sq\","),
    # ---- the stand-in host
    F("H01", "host/run.cpp", "run record: slice gap left out of the voxel size along z",
      "run.header.VoxelSizeZ = fmr.SliceThickness.value() + fmr.SliceGap.value();",
      "run.header.VoxelSizeZ = fmr.SliceThickness.value();"),
    F("H02", "host/mapfile.cpp", "map affine: y offset computed with the x count",
      "m.m[1][3] = (dy - static_cast<float>(ny) * dy) * 0.5f;", "m.m[1][3] = (dy - static_cast<float>(nx) * dy) * 0.5f;"),
    F("H03", "host/mapfile.cpp", "F map: second degrees of freedom written as the first",
      "image->intent_p2 = static_cast<float>(header.DF2);", "image->intent_p2 = static_cast<float>(header.DF1);"),
    F("H04", "host/host.cpp", "parameter store: an integer parameter the script never set reads as 1",
      "return value != nullptr ? static_cast<int>(std::strtol(value->c_str(), nullptr, 10)) : 0;",
      "return value != nullptr ? static_cast<int>(std::strtol(value->c_str(), nullptr, 10)) : 1;"),
    F("H05", "host/plotfile.cpp", "plot SVG: y axis upside down",
      "return bottom - (y - yLo) / (yHi - yLo) * (bottom - top);", "return top + (y - yLo) / (yHi - yLo) * (bottom - top);"),
    # ---- the tremora program
    F("T01", "tools/cli.cpp", "option given twice no longer refused (dropped check)",
      "        if (!o->repeatable && args.values_.count(o->name)) throw UsageError(o->name + \" is given more than once\");\n",
      ""),
    F("T02", "tools/cli.cpp", "numbers: trailing text after the number accepted (dropped check)",
      "*end != '\\0' || errno == ERANGE || !std::isfinite(v)", "errno == ERANGE || !std::isfinite(v)"),
    F("T03", "tools/options.cpp", "confound: negative --censor-before not refused as a usage error "
      "(moved: the lower bound of the shared censor option's declaration dropped)",
      "        .means(\"a whole number of volumes\")\n        .from(0)\n",
      "        .means(\"a whole number of volumes\")\n"),
    F("T04", "tools/cmd_tasks.cpp", "confound --tsv: a run without spikes fails for want of a spike SDM",
      "if (set == \"spikes\" && written.count(file) == 0) continue;\n", ""),
    F("T05", "tools/niftiimport.cpp", "import: slice data read with volume and slice swapped",
      "const std::size_t first = (std::size_t(v) * std::size_t(g.nz) + std::size_t(z)) * plane;",
      "const std::size_t first = (std::size_t(z) * std::size_t(g.nt) + std::size_t(v)) * plane;"),
    F("T06", "tools/niftiimport.cpp", "import: a TR in seconds taken as milliseconds",
      "case NIFTI_UNITS_SEC: ms = dt * 1000.0; break;", "case NIFTI_UNITS_SEC: ms = dt; break;"),
    F("T07", "tools/report.cpp", "report: mean framewise displacement row shows the maximum",
      "row(\"Mean framewise displacement\", \"fd-mean\", r.fdSummary.mean,",
      "row(\"Mean framewise displacement\", \"fd-mean\", r.fdSummary.max,"),
    F("T08", "tools/cmd_batch.cpp", "process summary: mean FD over all volumes, the first one included",
      "sum / double(fd.size() - 1)", "sum / double(fd.size())"),
    F("T09", "tools/cmd_batch.cpp", "batch: summary row read back with spikes and maximum displacement swapped",
      "s.spikes = value(f[5]), s.maxDisplacement = value(f[6])", "s.spikes = value(f[6]), s.maxDisplacement = value(f[5])"),
    F("T10", "tools/cmd_synth.cpp", "synth: --voxel range check lets 0.05 mm through (now in the declaration)",
      ".means(\"a number of millimetres\").from(0.1).to(100)", ".means(\"a number of millimetres\").above(0).to(100)"),
    F("T11", "tools/niftiimport.cpp", "import: default reference volume (n - 1) / 2, not mcflirt's n / 2",
      "request.referenceVolume.value_or(g.nt / 2)", "request.referenceVolume.value_or((g.nt - 1) / 2)"),
    F("T12", "tools/importedmotion.cpp", "imported runs: the package's own rows looked up under \"rows\" "
      "(framewise displacement silently from the SDM's rows)",
      "json[\"PackageParameters\"].contains(\"Rows\")", "json[\"PackageParameters\"].contains(\"rows\")"),
    F("T13", "tools/cli.cpp", "options: an inclusive upper bound refused as if exclusive",
      "if (hi && (hi->inclusive ? v > hi->value : v >= hi->value)) return false;",
      "if (hi && v >= hi->value) return false;"),

]


# ---------------------------------------------------------------- mechanics

def read(path):
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read()


def write(path, data):
    with open(os.path.join(ROOT, path), "wb") as f:
        f.write(data)


def validate(faults):
    """Every search text must occur exactly once, and every id be unique."""
    problems, seen = [], set()
    for fault in faults:
        if fault.id in seen:
            problems.append(f"{fault.id}: the id is used twice")
        seen.add(fault.id)
        try:
            count = read(fault.path).count(fault.search.encode())
        except OSError as e:
            problems.append(f"{fault.id}: {e}")
            continue
        if count != 1:
            problems.append(f"{fault.id}: the search text occurs {count} times in {fault.path}")
        if fault.search == fault.replace:
            problems.append(f"{fault.id}: the replacement changes nothing")
    return problems


def run(command, cwd, log):
    """Runs a command at low priority; returns (status, output)."""
    result = subprocess.run(["nice", "-n", "10"] + command, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, errors="replace")
    if log:
        with open(log, "a") as f:
            f.write(f"$ {' '.join(command)}\n{result.stdout}\n")
    return result.returncode, result.stdout


def configure(build):
    if os.path.exists(os.path.join(build, "CMakeCache.txt")):
        return
    status, output = run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release"], ROOT, None)
    if status != 0:
        sys.exit(f"configuring {build} failed:\n{output[-3000:]}")


# A parameterised test's name is followed by "# GetParam() = ..." before the reason.
FAILED_LINE = re.compile(r"^\s*\d+\s+-\s+(\S+).*\((\w+)\)\s*$")


def failing_tests(ctest_output):
    """The tests named under ctest's "The following tests FAILED:" line."""
    names, listing = [], False
    for line in ctest_output.splitlines():
        if line.startswith("The following tests FAILED"):
            listing = True
            continue
        if listing:
            match = FAILED_LINE.match(line)
            if match:
                names.append(match.group(1))
            elif line.strip():
                listing = False
    return names


def build_and_test(build, jobs, log, tests):
    """('no compile', []) when the build fails, else ('ran', failing tests)."""
    status, output = run(["cmake", "--build", build, "-j", str(jobs)], ROOT, log)
    if status != 0:
        return "no compile", []
    status, output = run(["ctest", "-j", str(jobs), "--timeout", "120"] + (["-R", tests] if tests else []), build, log)
    failed = failing_tests(output)
    if status != 0 and not failed:
        # ctest failed without naming a test (a crash of ctest itself, no tests found).
        failed = ["(ctest failed: " + (output.strip().splitlines() or ["no output"])[-1] + ")"]
    return "ran", failed


def inject(fault, build, jobs, log, tests):
    original = read(fault.path)
    faulty = original.replace(fault.search.encode(), fault.replace.encode(), 1)
    try:
        write(fault.path, faulty)
        return build_and_test(build, jobs, log, tests)
    finally:
        write(fault.path, original)


# ---------------------------------------------------------------- results

def abbreviate(names, shown=4):
    if len(names) <= shown:
        return ", ".join(names)
    return ", ".join(names[:shown]) + f", ... ({len(names)} in all)"


def table(results):
    lines = ["| id | file | fault | caught | failing tests |", "| --- | --- | --- | --- | --- |"]
    for fault, outcome, failed in results:
        caught = "did not compile" if outcome == "no compile" else ("yes" if failed else "**no**")
        cells = [fault.id, "`" + fault.path + "`", fault.what, caught, abbreviate(failed)]
        lines.append("| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |")
    return "\n".join(lines) + "\n"


def report(results, seconds, build):
    ran = [r for r in results if r[1] == "ran"]
    caught = [r for r in ran if r[2]]
    missed = [r for r in ran if not r[2]]
    text = ["# Injected faults and the tests that catch them", "",
            "Written by `tests/faults/inject.py` (release build in `" + os.path.basename(build) + "`, "
            "`ctest -j2 --timeout 120`). Each fault was applied alone, the tree rebuilt and the whole suite run; "
            "the file was restored afterwards.", "",
            f"{len(results)} faults, {len(caught)} caught, {len(missed)} not caught"
            + (f", {len(results) - len(ran)} did not compile" if len(ran) != len(results) else "")
            + f"; {seconds / 60:.0f} minutes.", "", table(results)]
    if missed:
        text += ["## Not caught", ""] + [f"- {f.id} (`{f.path}`): {f.what}" for f, _, _ in missed] + [""]
    return "\n".join(text)


def caught_ids(results_file):
    """The ids marked caught in a table written by this script."""
    ids = []
    with open(results_file) as f:
        for line in f:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) >= 4 and cells[3] == "yes":
                ids.append(cells[0])
    return ids


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ids", nargs="*", help="faults to run (default: all)")
    parser.add_argument("--build", default="build-faults", help="release build folder (default: build-faults)")
    parser.add_argument("--out", help="markdown table to write (default: tests/faults/baseline.md for a full run)")
    parser.add_argument("--check", metavar="RESULTS", help="run the faults marked caught in RESULTS; "
                        "exit 1 when one of them is no longer caught")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--tests", metavar="REGEX", help="run only the tests ctest -R REGEX selects")
    parser.add_argument("--list", action="store_true", help="list the faults and check that they apply")
    args = parser.parse_args()

    problems = validate(FAULTS)
    if problems:
        sys.exit("faults that cannot be applied:\n  " + "\n  ".join(problems))
    by_id = {f.id: f for f in FAULTS}
    if args.list:
        for f in FAULTS:
            print(f"{f.id}  {f.path}: {f.what}")
        print(f"{len(FAULTS)} faults, each applies exactly once")
        return 0

    unknown = [i for i in args.ids if i not in by_id]
    if unknown:
        sys.exit("unknown fault ids: " + ", ".join(unknown))
    selected = [by_id[i] for i in args.ids] if args.ids else list(FAULTS)
    if args.check:
        wanted = caught_ids(args.check)
        missing = [i for i in wanted if i not in by_id]
        if missing:
            sys.exit(f"{args.check} names faults this script does not know: " + ", ".join(missing))
        selected = [f for f in selected if f.id in wanted]
    out = args.out or (BASELINE if not args.ids and not args.check else None)

    build = os.path.abspath(os.path.join(ROOT, args.build))
    log = os.path.join(build, "faults.log")
    configure(build)
    open(log, "w").close()
    # Ctrl-C (even where it was ignored, as in a background job) and a
    # termination request both end the run with the file restored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

    start = time.time()
    results = []
    try:
        for n, fault in enumerate(selected, 1):
            t0 = time.time()
            outcome, failed = inject(fault, build, args.jobs, log, args.tests)
            results.append((fault, outcome, failed))
            verdict = "did not compile" if outcome == "no compile" else (
                f"caught by {len(failed)}" if failed else "NOT CAUGHT")
            print(f"[{n}/{len(selected)}] {fault.id} {verdict} ({time.time() - t0:.0f} s)", flush=True)
    except KeyboardInterrupt:
        print("interrupted; every file is restored", file=sys.stderr)
        return 130
    seconds = time.time() - start
    # Leave the build as the restored tree makes it, not with the last fault's objects.
    run(["cmake", "--build", build, "-j", str(args.jobs)], ROOT, log)

    text = report(results, seconds, build)
    if out:
        with open(os.path.join(ROOT, out), "w") as f:
            f.write(text)
        print(f"wrote {out}")
    else:
        print(text)
    print(f"log of the builds and test runs: {log}")

    if args.check:
        lost = [f.id for f, outcome, failed in results if outcome != "ran" or not failed]
        if lost:
            print("no longer caught: " + ", ".join(lost), file=sys.stderr)
            return 1
        print(f"all {len(results)} faults are still caught")
    return 0


if __name__ == "__main__":
    sys.exit(main())
