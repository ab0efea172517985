"""Prints the results of kx_bench (files named *baseline* are the runs of
the checkout compared with) as one table: throughput in MB/s where a
benchmark measures bytes, otherwise time per iteration; with a baseline,
the before figure and the ratio (how many times better the after figure
is). Usage: table.py RESULT.json... """
import json
import sys

SHAPES = {"0": "one list", "1": "one list, .. patterns", "2": "sections x 10",
          "3": "own qzt_config", "4": "new file sections"}


def load(paths):
    """Runs by name from every file; the median where runs were repeated."""
    runs = {}
    for path in paths:
        with open(path) as f:
            for r in json.load(f)["benchmarks"]:
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
    return parts[0][3:] + " " + parts[1] + " MB"


def figure(run):
    """The figure in its base unit, the unit, and whether bigger is better."""
    if "x_file" in run:
        return run["x_file"], "x file", False
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


main()
