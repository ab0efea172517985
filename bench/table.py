"""Prints the results of kx_bench (and of a baseline run) as one table:
throughput in MB/s where a benchmark measures bytes, otherwise time per
iteration; with a baseline, the before figure and the ratio (how many times
better the after figure is)."""
import json
import sys

SHAPES = {"0": "one list", "1": "one list, .. patterns", "2": "sections x 10",
          "3": "own qzt_config", "4": "new file sections"}


def load(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    return {r["name"]: r for r in runs if r.get("run_type", "iteration") == "iteration"}


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
    """The figure shown and whether bigger is better."""
    if "x_file" in run:
        return run["x_file"], "x file", False
    if "bytes_per_second" in run:
        return run["bytes_per_second"] / 2**20, "MB/s", True
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
    seconds = run["real_time"] * scale
    if seconds < 1e-3:
        return seconds * 1e6, "us", False
    return seconds, "s", False


def main():
    after = load(sys.argv[1])
    before = load(sys.argv[2]) if len(sys.argv) > 2 else {}
    head = "| work | after |" + (" before | ratio |" if before else "")
    print(head)
    print("|---|---|" + ("---|---|" if before else ""))
    for name, run in after.items():
        value, unit, bigger_better = figure(run)
        row = "| %s | %.4g %s |" % (label(name), value, unit)
        if before:
            if name in before and not before[name].get("error_occurred"):
                old, _, _ = figure(before[name])
                ratio = value / old if bigger_better else old / value
                row += " %.4g %s | %.3gx |" % (old, unit, ratio)
            else:
                row += " - | - |"
        if run.get("error_occurred"):
            row += " FAILED: %s" % run.get("error_message", "")
        print(row)


main()
