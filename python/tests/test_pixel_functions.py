"""The pixel operations' binding: arrays in and out, argument order, the
binding's own checks. The library's tests own the operations' numbers."""

import numpy as np
import pytest

import imgnorm

from helpers import random_image


def test_masked_histogram_counts_under_a_mask_of_any_type():
    image = random_image((23, 31), seed=61)
    mask = random_image((23, 31), seed=62) > 170
    counts = imgnorm.masked_histogram(image, mask)
    assert counts.dtype == np.uint64 and counts.shape == (256,)
    np.testing.assert_array_equal(counts, np.bincount(image[mask], minlength=256))
    np.testing.assert_array_equal(imgnorm.masked_histogram(image), np.bincount(image.ravel(), minlength=256))


def test_clamped_arithmetic_takes_its_operands_in_order_and_leaves_them_alone():
    a8, b8 = random_image((5, 9), seed=71), random_image((5, 9), seed=72)
    a, b = a8.astype(np.int64), b8.astype(np.int64)
    np.testing.assert_array_equal(imgnorm.sub_clamp(a8, b8, 50), np.clip(a - b, -50, 50) + 128)
    np.testing.assert_array_equal(imgnorm.sub_clamp_signed(a8, b8), np.clip(a - (b - 128), 0, 255))
    np.testing.assert_array_equal(imgnorm.add_clamp(a8, b8), np.clip(a + (b - 128), 0, 255))
    np.testing.assert_array_equal(a8, a)
    with pytest.raises(ValueError, match="^limit must lie in 0..255, not 256$"):
        imgnorm.sub_clamp(a8, a8, 256)


def test_neighbourhood_operations_read_strided_views():
    strided = random_image((9, 12), seed=111)[::2, ::3]
    smoothed = imgnorm.smooth_3x3_diamond(strided)
    assert smoothed.dtype == np.uint8 and smoothed.shape == strided.shape
    np.testing.assert_array_equal(smoothed, imgnorm.smooth_3x3_diamond(strided.copy()))
    dilated, eroded = imgnorm.morph_3x3_diamond(strided), imgnorm.morph_3x3_diamond(strided, dilate=False)
    assert (dilated | strided == dilated).all() and (eroded & strided == eroded).all()


def test_flood_fill_returns_a_filled_copy_and_checks_its_arguments():
    diagonal = np.eye(4, dtype=np.uint8)
    np.testing.assert_array_equal(imgnorm.flood_fill(diagonal, (0, 0), 5), diagonal * 5)
    np.testing.assert_array_equal(diagonal, np.eye(4, dtype=np.uint8))
    image = np.zeros((4, 6), dtype=np.uint8)
    with pytest.raises(ValueError, match=r"^seed \(6, 0\) lies outside the image$"):
        imgnorm.flood_fill(image, (6, 0), 1)
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
