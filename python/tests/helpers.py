"""Images shared by the tests."""

import numpy as np


def random_image(shape, seed, low=0, high=256):
    return np.random.default_rng(seed).integers(low, high, size=shape, dtype=np.uint8)


def gradient_image(shape, seed):
    """A smooth ramp plus noise: every gray-level method has work to do."""
    rows, cols = np.indices(shape)
    noise = np.random.default_rng(seed).integers(0, 40, size=shape)
    return np.clip(40 + rows * 2 + cols + noise, 0, 255).astype(np.uint8)
