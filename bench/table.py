"""Prints the results of kx_bench (files named *baseline* are the runs of
the checkout compared with) as one table: throughput in MB/s where a
benchmark measures bytes, otherwise time per iteration; with a baseline,
the before figure and the ratio (how many times better the after figure
is). Usage: table.py RESULT.json... """
import json
import sys

READERS = {"0": "kxconf get, 4-line file", "1": "git config, same file",
           "2": "kxconf get, 64 MB file", "3": "read-only open, 64 MB file"}
SHAPES = {"0": "one list", "1": "one list, .. patterns", "2": "sections x 10",
          "3": "own qzt_config", "4": "new file sections"}


def load(paths):
    """Runs by name from every file; the median where runs were repeated.
    A group that KX_BENCH_FILTER left without a benchmark wrote nothing."""
    runs = {}
    for path in paths:
        with open(path) as f:
            text = f.read()
        if text.strip():
            for r in json.loads(text)["benchmarks"]:
                if r.get("run_type") == "aggregate":
                    if r.get("aggregate_name") == "median":
                        runs[r["run_name"]] = r
                elif r.get("run_name", r["name"]) not in runs:
                    runs[r.get("run_name", r["name"])] = r
    return runs


def label(name):
    parts = name.split("/")
    if parts[0] == "BM_Upgrade":
        return "upgrade, %s, N=%s" % (SHAPES.get(parts[1], parts[1]), parts[2])
    if parts[0] == "BM_Setvar":
        return "%s kxcf_setvar (%s keywords)" % (parts[1], "new" if parts[2] == "1" else "existing")
    if parts[0] == "BM_Getvar":
        return "kxcf_getvar per call, N=%s" % parts[1]
    if parts[0] == "BM_FirstGetvar":
        return "first kxcf_getvar on a fresh handle, N=%s" % parts[1]
    if parts[0] == "BM_OpenList":
        return "open of one list, N=%s" % parts[1]
    if parts[0] == "BM_ReadOneValue":
        return "whole process: %s" % READERS.get(parts[1], parts[1])
    if parts[0] == "BM_UpgradeExample":
        return "upgrade of the example installation (examples/)"
    return parts[0][3:] + " " + parts[1] + " MB"


def figure(run):
    """The figure in its base unit, the unit, and whether bigger is better."""
    if "x_file" in run:
        return run["x_file"], "x file", False
    if "peak_mb" in run and run.get("_memory"):
        return run["peak_mb"], "MB", False
    if "bytes_per_second" in run:
        return run["bytes_per_second"] / 2**20, "MB/s", True
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
    return run["real_time"] * scale, "s", False


def shown(value, unit):
    if unit == "s" and value < 1e-3:
        return "%.3g us" % (value * 1e6)
    if unit == "s" and value < 1:
        return "%.3g ms" % (value * 1e3)
    return "%.3g %s" % (value, unit)


def find(runs, prefix):
    """The run whose name starts with PREFIX followed by "/" or nothing."""
    for name, run in runs.items():
        if (name == prefix or name.startswith(prefix + "/")) and not run.get("error_occurred"):
            return run
    return None


def value(runs, prefix, memory=False, counter=None):
    run = find(runs, prefix)
    if run is None:
        return None
    if counter:
        return run.get(counter)
    return figure(dict(run, _memory=memory))[0]


def quotient(a, b):
    return None if a is None or b is None or b == 0 else a / b


# Each target: its words, how its figure is made, and the bound it meets
# when at most ("<=") or at least (">=") the bound.
TARGETS = [
    ("first lookup in a list of 100,000 keywords / the open of that file",
     lambda a, b: quotient(value(a, "BM_FirstGetvar/100000"), value(a, "BM_OpenList/100000")), "<=", 1.0),
    ("kxcf_getvar per call, N=100k / N=1k",
     lambda a, b: quotient(value(a, "BM_Getvar/100000"), value(a, "BM_Getvar/1000")), "<=", 2.0),
    ("upgrade, one section of 10,000 keywords, after / before",
     lambda a, b: quotient(value(a, "BM_Upgrade/0/10000"), value(b, "BM_Upgrade/0/10000")), "<=", 0.5),
    ("same, processor time",
     lambda a, b: quotient(value(a, "BM_Upgrade/0/10000", counter="cpu_s"),
                           value(b, "BM_Upgrade/0/10000", counter="cpu_s")), "<=", 0.5),
    ("upgrade of the home's own qzt_config, 5,000 keywords, after / before",
     lambda a, b: quotient(value(a, "BM_Upgrade/3/5000"), value(b, "BM_Upgrade/3/5000")), "<=", 0.5),
    ("same, processor time",
     lambda a, b: quotient(value(a, "BM_Upgrade/3/5000", counter="cpu_s"),
                           value(b, "BM_Upgrade/3/5000", counter="cpu_s")), "<=", 0.5),
    ("round trip 64 MB / raw rewrite 64 MB (throughput)",
     lambda a, b: quotient(value(a, "BM_RoundTripKx/64"), value(a, "BM_RawRewrite/64")), ">=", 0.4),
    ("parse 16 MB / inih no-op callback 16 MB, each in a fresh process (throughput, processor time)",
     lambda a, b: quotient(value(a, "BM_ParseKxFresh/16"), value(a, "BM_ParseInihNoopFresh/16")), ">=", 2.0),
    ("same, both in one long-running process",
     lambda a, b: quotient(value(a, "BM_ParseKx/16"), value(a, "BM_ParseInihNoop/16")), ">=", 2.0),
    ("kxconf get / git config per call, whole process",
     lambda a, b: quotient(value(a, "BM_ReadOneValue/0"), value(a, "BM_ReadOneValue/1")), "<=", 1.0),
    ("same, processor time",
     lambda a, b: quotient(value(a, "BM_ReadOneValue/0", counter="cpu_s"),
                           value(a, "BM_ReadOneValue/1", counter="cpu_s")), "<=", 1.0),
    ("kxconf get 64 MB / read-only open 64 MB, time",
     lambda a, b: quotient(value(a, "BM_ReadOneValue/2"), value(a, "BM_ReadOneValue/3")), "<=", 1.3),
    ("same, processor time",
     lambda a, b: quotient(value(a, "BM_ReadOneValue/2", counter="cpu_s"),
                           value(a, "BM_ReadOneValue/3", counter="cpu_s")), "<=", 1.3),
    ("kxconf get 64 MB / read-only open 64 MB, peak memory",
     lambda a, b: quotient(value(a, "BM_ReadOneValue/2", True), value(a, "BM_ReadOneValue/3", True)), "<=", 1.3),
]


def print_targets(after, before):
    print()
    print("| target | figure | bound | met |")
    print("|---|---|---|---|")
    for words, measure, sense, bound in TARGETS:
        got = measure(after, before)
        if got is None:
            print("| %s | not measured | %s %.2g | - |" % (words, sense, bound))
            continue
        met = got <= bound if sense == "<=" else got >= bound
        print("| %s | %.2f | %s %.2g | %s |" % (words, got, sense, bound, "yes" if met else "NO"))
    example = value(after, "BM_UpgradeExample")
    if example is not None:
        print("| upgrade of the example installation | %s | measured | - |" % shown(example, "s"))


def main():
    files = sys.argv[1:]
    after = load([f for f in files if "baseline" not in f])
    before = load([f for f in files if "baseline" in f])
    head = "| work | after |" + (" before | ratio |" if before else "")
    print(head)
    print("|---|---|" + ("---|---|" if before else ""))
    for name, run in after.items():
        value, unit, bigger_better = figure(run)
        row = "| %s | %s |" % (label(name), shown(value, unit))
        if before:
            if name in before and not before[name].get("error_occurred"):
                old, _, _ = figure(before[name])
                ratio = value / old if bigger_better else old / value
                row += " %s | %.3gx |" % (shown(old, unit), ratio)
            else:
                row += " - | - |"
        if run.get("error_occurred"):
            row += " FAILED: %s" % run.get("error_message", "")
        print(row)
    print_targets(after, before)


main()
