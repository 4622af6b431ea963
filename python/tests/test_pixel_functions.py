"""The pixel operations over arrays against plain numpy references."""

import numpy as np
import pytest

import imgnorm

from helpers import random_image

SHAPES = [(1, 1), (1, 7), (6, 1), (5, 9), (33, 47)]


def diamond_neighbours(image):
    """For each pel, its cut 3x3 diamond: (values, present) stacked on axis 0."""
    padded = np.pad(image.astype(np.int64), 1)
    present = np.pad(np.ones(image.shape, dtype=bool), 1)
    h, w = image.shape
    offsets = [(0, 0), (-1, 0), (1, 0), (0, -1), (0, 1)]
    values = np.stack([padded[1 + dy : 1 + dy + h, 1 + dx : 1 + dx + w] for dy, dx in offsets])
    inside = np.stack([present[1 + dy : 1 + dy + h, 1 + dx : 1 + dx + w] for dy, dx in offsets])
    return values, inside


def test_masked_histogram_counts_levels_under_the_mask():
    image = random_image((23, 31), seed=61)
    mask = random_image((23, 31), seed=62) > 170
    counts = imgnorm.masked_histogram(image, mask)
    assert counts.dtype == np.uint64 and counts.shape == (256,)
    np.testing.assert_array_equal(counts, np.bincount(image[mask], minlength=256))
    np.testing.assert_array_equal(imgnorm.masked_histogram(image), np.bincount(image.ravel(), minlength=256))
    # Any non-zero mask value counts; a smaller mask pairs with the pels it covers.
    small = (random_image((10, 12), seed=63) % 3).astype(np.uint8)
    np.testing.assert_array_equal(
        imgnorm.masked_histogram(image, small), np.bincount(image[:10, :12][small != 0], minlength=256)
    )


@pytest.mark.parametrize("shape", SHAPES)
def test_clamped_arithmetic_matches_numpy(shape):
    a = random_image(shape, seed=71).astype(np.int64)
    b = random_image(shape, seed=72).astype(np.int64)
    a8, b8 = a.astype(np.uint8), b.astype(np.uint8)
    for limit in (0, 1, 50, 127, 200, 255):
        cap = min(limit, 127)
        expected = np.clip(a - b, -cap, cap) + 128
        np.testing.assert_array_equal(imgnorm.sub_clamp(a8, b8, limit), expected)
    np.testing.assert_array_equal(imgnorm.sub_clamp(a8, b8), np.clip(a - b, -127, 127) + 128)
    np.testing.assert_array_equal(imgnorm.sub_clamp_signed(a8, b8), np.clip(a - (b - 128), 0, 255))
    np.testing.assert_array_equal(imgnorm.add_clamp(a8, b8), np.clip(a + (b - 128), 0, 255))
    np.testing.assert_array_equal(a8, a)  # operands untouched


def test_clamped_arithmetic_changes_the_overlap_only():
    a = random_image((8, 10), seed=73)
    b = random_image((5, 4), seed=74)
    result = imgnorm.add_clamp(a, b)
    assert result.shape == a.shape
    expected = a.copy()
    expected[:5, :4] = np.clip(a[:5, :4].astype(int) + b.astype(int) - 128, 0, 255)
    np.testing.assert_array_equal(result, expected)
    with pytest.raises(ValueError, match="^limit must lie in 0..255, not 256$"):
        imgnorm.sub_clamp(a, a, 256)


@pytest.mark.parametrize("shape", SHAPES)
def test_smoothing_divides_by_the_weights_used(shape):
    image = random_image(shape, seed=81)
    values, inside = diamond_neighbours(image)
    weights = np.array([4, 1, 1, 1, 1]).reshape(5, 1, 1) * inside
    expected = (values * weights).sum(axis=0) // weights.sum(axis=0)
    np.testing.assert_array_equal(imgnorm.smooth_3x3_diamond(image), expected)


@pytest.mark.parametrize("shape", SHAPES)
def test_morphology_ors_and_ands_the_cut_diamond(shape):
    image = random_image(shape, seed=91)
    values, inside = diamond_neighbours(image)
    dilated = np.bitwise_or.reduce(np.where(inside, values, 0), axis=0)
    eroded = np.bitwise_and.reduce(np.where(inside, values, 255), axis=0)
    np.testing.assert_array_equal(imgnorm.morph_3x3_diamond(image), dilated)
    np.testing.assert_array_equal(imgnorm.morph_3x3_diamond(image, dilate=False), eroded)


def flood_reference(image, seed, value):
    x, y = seed
    old = image[y, x]
    result = image.copy()
    stack, seen = [(y, x)], {(y, x)}
    while stack:
        r, c = stack.pop()
        result[r, c] = value
        for dr in (-1, 0, 1):
            for dc in (-1, 0, 1):
                n = (r + dr, c + dc)
                if n not in seen and 0 <= n[0] < image.shape[0] and 0 <= n[1] < image.shape[1] and image[n] == old:
                    seen.add(n)
                    stack.append(n)
    return result


def test_flood_fill_fills_the_8_connected_region():
    rng = np.random.default_rng(101)
    image = (rng.random((20, 30)) < 0.45).astype(np.uint8) * 9
    for seed in [(0, 0), (29, 19), (12, 7), (5, 15)]:
        np.testing.assert_array_equal(imgnorm.flood_fill(image, seed, 200), flood_reference(image, seed, 200))
    # Diagonal steps connect.
    diagonal = np.eye(4, dtype=np.uint8)
    np.testing.assert_array_equal(imgnorm.flood_fill(diagonal, (0, 0), 5), np.eye(4, dtype=np.uint8) * 5)


def test_flood_fill_refuses_bad_seeds_and_values():
    image = np.zeros((4, 6), dtype=np.uint8)
    with pytest.raises(ValueError, match=r"^seed \(6, 0\) lies outside the image$"):
        imgnorm.flood_fill(image, (6, 0), 1)
    with pytest.raises(ValueError, match=r"^seed \(0, -1\) lies outside the image$"):
        imgnorm.flood_fill(image, (0, -1), 1)
    with pytest.raises(ValueError, match="^the seed pel already holds the fill value 0$"):
        imgnorm.flood_fill(image, (1, 1), 0)
    with pytest.raises(ValueError, match="^value must lie in 0..255, not -1$"):
        imgnorm.flood_fill(image, (1, 1), -1)


def test_functions_check_their_arrays():
    with pytest.raises(TypeError, match="^image must be a 2-D uint8 array, not float64$"):
        imgnorm.smooth_3x3_diamond(np.zeros((3, 3)))
    with pytest.raises(TypeError, match="^b must be a 2-D uint8 array, not int16$"):
        imgnorm.add_clamp(np.zeros((3, 3), np.uint8), np.zeros((3, 3), np.int16))
    with pytest.raises(ValueError, match="^image must not be empty"):
        imgnorm.morph_3x3_diamond(np.zeros((0, 3), np.uint8))
    strided = random_image((9, 12), seed=111)[::2, ::3]
    np.testing.assert_array_equal(imgnorm.smooth_3x3_diamond(strided), imgnorm.smooth_3x3_diamond(strided.copy()))
