#!/usr/bin/env python3
"""Turns a Google Benchmark JSON file into our times as ratios to OpenCV's,
to the memory limit, to one thread and to a quarter of the pels.

--filter prints the benchmark filter that selects every benchmark the table
needs. Otherwise reads the JSON file and prints a Markdown table of the best
time of each benchmark over its repetitions, the ratio and the target; the
exit status is 1 when a ratio misses its target.
"""
import json
import re
import sys

METHODS = (("eMatchHistogram", 1), ("eMatchMeanAndStddev", 2), ("eMatchHistogramTails", 4),
           ("eLinearlyFitGrayValues", 8), ("eLocalCorrection", 16),
           ("eLocalCorrectionEnhanced", 32))

# (what is compared, our benchmarks summed, the benchmarks they are compared
# with summed, limit): OpenCV's, or ours as a limit or at another size
COMPARISONS = [
    ("masked histogram / calcHist with mask",
     ["BM_MaskedHistogram"], ["BM_CvCalcHist/masked:1"], 1.3),
    ("map / LUT", ["BM_Map/kernels:2"], ["BM_CvLut"], 0.25),
    ("map / memcpy of the same pels", ["BM_Map/kernels:2"], ["BM_Memcpy"], 3.0),
] + [
    (f"run {name}{' masked' if m else ''} / calcHist + LUT",
     [f"BM_Run/side:2048/masked:{m}/method:{bit}"], [f"BM_CvCalcHistPlusLut/masked:{m}"], 0.55)
    for name, bit in (("eMatchHistogram", 1), ("eMatchMeanAndStddev", 2),
                      ("eMatchHistogramTails", 4))
    for m in (0, 1)
] + [
    (f"run eLinearlyFitGrayValues{' masked' if m else ''} / run eMatchHistogram",
     [f"BM_Run/side:2048/masked:{m}/method:8"], [f"BM_Run/side:2048/masked:{m}/method:1"], 2.5)
    for m in (0, 1)
] + [
    (f"run {name} 4096 masked, 2 threads / 1 thread",
     [f"BM_RunParallel/method:{bit}/threads:2/real_time"],
     [f"BM_RunParallel/method:{bit}/threads:1/real_time"], limit)
    for name, bit, limit in (("eMatchHistogram", 1, round(1 / 1.4, 3)),
                             ("eLinearlyFitGrayValues", 8, round(1 / 1.7, 3)),
                             ("eLocalCorrection", 16, round(1 / 1.7, 3)),
                             ("eLocalCorrectionEnhanced", 32, round(1 / 1.7, 3)))
] + [
    (f"growth 2048 -> 4096: run {name}{' masked' if m else ''}",
     [f"BM_Run/side:4096/masked:{m}/method:{bit}"], [f"BM_Run/side:2048/masked:{m}/method:{bit}"],
     4.4)
    for name, bit in METHODS for m in (0, 1)
] + [
    (f"growth 2048 -> 4096: train {name}{' masked' if m else ''}",
     [f"BM_Train/side:4096/masked:{m}/methods:{bit}"],
     [f"BM_Train/side:2048/masked:{m}/methods:{bit}"], 4.4)
    for name, bit in (("the global methods", 7),) + METHODS[3:] for m in (0, 1)
] + [
    ("Gaussian kernel 52 / GaussianBlur sigma 26",
     ["BM_GaussSmooth/kernel:52/avx2:1"], ["BM_CvGaussianBlur/sigma:26"], 0.1),
    ("Gaussian kernel 52 / 3 x blur 51",
     ["BM_GaussSmooth/kernel:52/avx2:1"], ["BM_CvBlurThreeTimes/kernel:51"], 1.2),
    ("median 101 / medianBlur 101",
     ["BM_Median/kernel:101/masked:0/avx2:1"], ["BM_CvMedianBlur/kernel:101"], 1.0),
    ("median 101 masked, ranged / medianBlur 101",
     ["BM_Median/kernel:101/masked:1/avx2:1"], ["BM_CvMedianBlur/kernel:101"], 1.5),
    ("median 181 / medianBlur 181",
     ["BM_Median/kernel:181/masked:0/avx2:1"], ["BM_CvMedianBlur/kernel:181"], 1.0),
    ("eLocalCorrection 101 / OpenCV Gaussian pipeline",
     ["BM_LocalCorrection/method:16/neighborhood:101/granularity:1"],
     ["BM_CvLocalCorrection/method:16/reduction:1"], 0.15),
    ("eLocalCorrectionEnhanced 101 / OpenCV median pipeline",
     ["BM_LocalCorrection/method:32/neighborhood:101/granularity:1"],
     ["BM_CvLocalCorrection/method:32/reduction:1"], 1.2),
    ("eLocalCorrection 101 granularity 4 / OpenCV Gaussian pipeline reduced by 4",
     ["BM_LocalCorrection/method:16/neighborhood:101/granularity:4"],
     ["BM_CvLocalCorrection/method:16/reduction:4"], 1.5),
    ("eLocalCorrectionEnhanced 101 granularity 4 / OpenCV median pipeline reduced by 4",
     ["BM_LocalCorrection/method:32/neighborhood:101/granularity:4"],
     ["BM_CvLocalCorrection/method:32/reduction:4"], 1.5),
] + [
    (f"{name} granularity {g}: neighbourhood 301 / 11",
     [f"BM_LocalCorrection/method:{bit}/neighborhood:301/granularity:{g}"],
     [f"BM_LocalCorrection/method:{bit}/neighborhood:11/granularity:{g}"], 1.5)
    for name, bit in (("eLocalCorrection", 16), ("eLocalCorrectionEnhanced", 32))
    for g in (1, 4)
]


def needed_names():
    return sorted({n for _, ours, theirs, _ in COMPARISONS for n in ours + theirs})


def benchmark_filter():
    return "^(" + "|".join(re.escape(n) for n in needed_names()) + ")$"


def best_times(path):
    """The least real time in ms of each benchmark over its repetitions."""
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
    best = {}
    for b in data["benchmarks"]:
        if b.get("run_type", "iteration") != "iteration":
            continue
        name = b.get("run_name", b["name"])
        t = b["real_time"] * scale[b.get("time_unit", "ns")]
        best[name] = min(best.get(name, t), t)
    return best, data.get("context", {})


def main(argv):
    if len(argv) == 2 and argv[1] == "--filter":
        print(benchmark_filter())
        return 0
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    best, context = best_times(argv[1])
    missing = [n for n in needed_names() if n not in best]
    if missing:
        print("missing benchmarks: " + ", ".join(missing), file=sys.stderr)
        return 1
    print(f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz, "
          f"{context.get('library_build_type', '?')} benchmark library; best of the repetitions\n")
    print("| comparison | ours ms | theirs ms | ratio | target | |")
    print("|---|---:|---:|---:|---:|---|")
    failed = 0
    for label, ours, theirs, limit in COMPARISONS:
        a = sum(best[n] for n in ours)
        b = sum(best[n] for n in theirs)
        ratio = a / b
        ok = ratio <= limit
        failed += not ok
        print(f"| {label} | {a:.2f} | {b:.2f} | {ratio:.3f} | <= {limit} | "
              f"{'ok' if ok else 'MISSED'} |")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
