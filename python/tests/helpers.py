"""Images and slow references shared by the tests."""

import math

import numpy as np


def random_image(shape, seed, low=0, high=256):
    return np.random.default_rng(seed).integers(low, high, size=shape, dtype=np.uint8)


def gradient_image(shape, seed):
    """A smooth ramp plus noise: every gray-level method has work to do."""
    rows, cols = np.indices(shape)
    noise = np.random.default_rng(seed).integers(0, 40, size=shape)
    return np.clip(40 + rows * 2 + cols + noise, 0, 255).astype(np.uint8)


def histogram_stats(histogram):
    """Mean and population standard deviation summed bin by bin, in bin order."""
    n = int(sum(int(c) for c in histogram))
    total = 0.0
    for g, c in enumerate(histogram):
        total += float(g) * float(c)
    mean = total / n
    squares = 0.0
    for g, c in enumerate(histogram):
        d = float(g) - mean
        squares += d * d * float(c)
    return mean, math.sqrt(squares / n)


def mean_stddev_map(reference_histogram, run_histogram):
    """The 256-level map of MEAN_STDDEV: i * gain + offset, truncated, clamped."""
    ref_mean, ref_sd = histogram_stats(reference_histogram)
    run_mean, run_sd = histogram_stats(run_histogram)
    gain = ref_sd / run_sd
    offset = ref_mean - run_mean * gain
    levels = []
    for i in range(256):
        t = min(max(float(i) * gain + offset, -1.0), 256.0)
        levels.append(min(max(int(t), 0), 255))
    return np.array(levels, dtype=np.uint8)
