"""Times one Python run of HISTOGRAM on a 2048 x 2048 image against the C++
run on the same pels, and against scikit-image's histogram matching.

Usage: PYTHONPATH=<build>/python/site /usr/bin/python3 python/bench_run.py [IMGNORM_BENCH]
IMGNORM_BENCH is the benchmark binary (built with -DIMGNORM_BUILD_BENCH=ON);
its BM_RunPythonScene builds the same scene in C++. Without it, or without
scikit-image, those lines are left out.
"""

import json
import os
import subprocess
import sys
import time

import numpy as np

# This folder holds the package's sources without the compiled module; the
# built package comes from PYTHONPATH.
sys.path = [p for p in sys.path if os.path.abspath(p or ".") != os.path.dirname(os.path.abspath(__file__))]

import imgnorm  # noqa: E402

SIDE = 2048


def scene(run_time):
    """Integer-only, so the C++ benchmark can build the very same pels."""
    y, x = np.indices((SIDE, SIDE), dtype=np.int64)
    v = np.minimum(y // 16 + x // 16 + (x * 7 + y * 13 + (x * y) % 31) % 30, 255)
    return (v // 2 + 40 if run_time else v).astype(np.uint8)


def best_of(repeats, function):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times) * 1e3, sorted(times)[len(times) // 2] * 1e3


def cpp_run_ms(bench):
    out = subprocess.run([bench, "--benchmark_filter=^BM_RunPythonScene$", "--benchmark_repetitions=5",
                          "--benchmark_format=json"], capture_output=True, text=True, check=True).stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    times = sorted(b["real_time"] for b in runs)  # in ms, the benchmark's unit
    return times[0], times[len(times) // 2]


def report(label, best, median):
    print(f"| {label} | {best:.2f} | {median:.2f} |")


def main(argv):
    reference, image = scene(False), scene(True)
    tool = imgnorm.Normalizer()
    tool.train(reference, methods=imgnorm.Method.HISTOGRAM)
    print("| 2048 x 2048, HISTOGRAM | best ms | median ms |\n|---|---:|---:|")
    report("Python Normalizer.run", *best_of(50, lambda: tool.run(image, imgnorm.Method.HISTOGRAM)))
    if len(argv) > 1:
        report("C++ kcImageNormalizer::run", *cpp_run_ms(argv[1]))
    try:
        from skimage.exposure import match_histograms
    except ImportError:
        print("(scikit-image is not installed: no comparison with match_histograms)")
        return
    report("skimage.exposure.match_histograms", *best_of(5, lambda: match_histograms(image, reference)))


if __name__ == "__main__":
    main(sys.argv)
