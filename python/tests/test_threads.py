"""The binding releases the GIL and keeps one tool's state whole across threads."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np

import imgnorm
from imgnorm import Method

from helpers import METHODS, gradient_image, trained


def test_threads_running_one_tool_agree_with_sequential_runs():
    mask = np.ones((96, 128), dtype=bool)
    mask[30:60, 40:90] = False
    tool = trained(gradient_image((96, 128), seed=41), mask, neighborhood=(15, 15),
                   tail_fractions=(0.02, 0.98), keep_masked_pixels=True)
    jobs = [(gradient_image((96 + i % 3, 128 - i % 5), seed=100 + i), m) for i in range(6) for m in METHODS]
    expected = [tool.run(image, method) for image, method in jobs]
    with ThreadPoolExecutor(max_workers=6) as pool:
        for got, want in zip(pool.map(lambda job: tool.run(*job), jobs * 2), expected * 2):
            np.testing.assert_array_equal(got, want)


def test_changes_during_runs_never_mix_states():
    image = gradient_image((64, 64), seed=52)
    tool = trained(gradient_image((64, 64), seed=51), methods=Method.TAILS)
    narrow = tool.run(image, Method.TAILS)
    tool.set(tail_fractions=(0.2, 0.8))
    wide = tool.run(image, Method.TAILS)
    assert not np.array_equal(narrow, wide)

    def flip(i):
        tool.set(tail_fractions=(0.0, 1.0) if i % 2 else (0.2, 0.8))

    def run(_):
        result = tool.run(image, Method.TAILS)
        return np.array_equal(result, narrow) or np.array_equal(result, wide)

    with ThreadPoolExecutor(max_workers=4) as pool:
        changes = pool.map(flip, range(200))
        assert all(pool.map(run, range(200)))
        list(changes)


def test_threads_sharing_one_image_give_the_single_threaded_pels():
    reference, image = gradient_image((1200, 800), seed=61), gradient_image((1200, 800), seed=62)
    tool = trained(reference, reference > 60, neighborhood=(21, 21))  # three strips
    for method in METHODS:
        np.testing.assert_array_equal(tool.run(image, method, threads=3), tool.run(image, method))
