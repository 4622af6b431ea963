"""Images and tools shared by the tests."""

import numpy as np

import imgnorm
from imgnorm import Method

ALL = Method(63)
METHODS = [Method.HISTOGRAM, Method.MEAN_STDDEV, Method.TAILS, Method.LINEAR_FIT, Method.LOCAL,
           Method.LOCAL_ENHANCED]


def random_image(shape, seed, low=0, high=256):
    return np.random.default_rng(seed).integers(low, high, size=shape, dtype=np.uint8)


def gradient_image(shape, seed):
    """A smooth ramp plus noise: every gray-level method has work to do."""
    rows, cols = np.indices(shape)
    noise = np.random.default_rng(seed).integers(0, 40, size=shape)
    return np.clip(40 + rows * 2 + cols + noise, 0, 255).astype(np.uint8)


def trained(reference, mask=None, methods=ALL, **params):
    tool = imgnorm.Normalizer(**params)
    tool.train(reference, mask, methods=methods)
    return tool
