"""Times one Python run of HISTOGRAM on a 2048 x 2048 image.

Usage: PYTHONPATH=<build>/python/site /usr/bin/python3 python/bench_run.py
Compares with scikit-image's histogram matching when that is installed.
"""

import os
import sys
import time

import numpy as np

# This folder holds the package's sources without the compiled module; the
# built package comes from PYTHONPATH.
sys.path = [p for p in sys.path if os.path.abspath(p or ".") != os.path.dirname(os.path.abspath(__file__))]

import imgnorm  # noqa: E402


def best_of(repeats, function):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times), sorted(times)[len(times) // 2]


def main():
    rng = np.random.default_rng(1)
    shape = (2048, 2048)
    rows, cols = np.indices(shape)
    reference = np.clip(rows // 16 + cols // 16 + rng.integers(0, 30, shape), 0, 255).astype(np.uint8)
    image = (reference // 2 + 40).astype(np.uint8)

    tool = imgnorm.Normalizer()
    tool.train(reference, methods=imgnorm.Method.HISTOGRAM)
    best, median = best_of(20, lambda: tool.run(image, imgnorm.Method.HISTOGRAM))
    print(f"imgnorm Normalizer.run(HISTOGRAM) 2048x2048: best {best * 1e3:.2f} ms, median {median * 1e3:.2f} ms")

    try:
        from skimage.exposure import match_histograms
    except ImportError:
        print("skimage.exposure.match_histograms: unavailable (scikit-image is not installed)")
        return
    best, median = best_of(5, lambda: match_histograms(image, reference))
    print(f"skimage match_histograms 2048x2048: best {best * 1e3:.2f} ms, median {median * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
