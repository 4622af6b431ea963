"""The pixel operations' binding: arrays in and out, argument order, the
binding's own checks. The library's tests own the operations' numbers."""

import numpy as np
import pytest

import imgnorm

from helpers import random_image


def test_operations_take_strided_operands_in_order_and_leave_them_alone():
    a = random_image((10, 18), seed=71)[::2, ::2]
    b = random_image((5, 9), seed=72)
    before = a.copy()
    for function in (imgnorm.sub_clamp_signed, imgnorm.add_clamp, lambda x, y: imgnorm.sub_clamp(x, y, 50)):
        result = function(a, b)
        assert result.dtype == np.uint8 and result.shape == a.shape
        np.testing.assert_array_equal(result, function(a.copy(), b))
        assert function is imgnorm.add_clamp or not np.array_equal(result, function(b, a))
    assert imgnorm.add_clamp(np.full((1, 1), 200, np.uint8), np.full((1, 1), 150, np.uint8))[0, 0] == 222
    assert imgnorm.sub_clamp(np.full((1, 1), 9, np.uint8), np.full((1, 1), 3, np.uint8), 50)[0, 0] == 134
    for function in (imgnorm.smooth_3x3_diamond, imgnorm.morph_3x3_diamond):
        np.testing.assert_array_equal(function(a), function(a.copy()))
    np.testing.assert_array_equal(a, before)
    mask = random_image(a.shape, seed=62) > 170
    np.testing.assert_array_equal(imgnorm.masked_histogram(a, mask), np.bincount(a[mask], minlength=256))
    assert imgnorm.masked_histogram(a).dtype == np.uint64 and imgnorm.masked_histogram(a).sum() == a.size
    diagonal = np.eye(4, dtype=np.uint8)
    np.testing.assert_array_equal(imgnorm.flood_fill(diagonal, (0, 0), 5), diagonal * 5)
    np.testing.assert_array_equal(diagonal, np.eye(4, dtype=np.uint8))


@pytest.mark.parametrize("call, error, message", [
    (lambda z: imgnorm.sub_clamp(z, z, 256), ValueError, "^limit must lie in 0..255, not 256$"),
    (lambda z: imgnorm.flood_fill(z, (6, 0), 1), ValueError, r"^seed \(6, 0\) lies outside the image$"),
    (lambda z: imgnorm.flood_fill(z, (1, 1), 0), ValueError, "^the seed pel already holds the fill value 0$"),
    (lambda z: imgnorm.flood_fill(z, (1, 1), -1), ValueError, "^value must lie in 0..255, not -1$"),
    (lambda z: imgnorm.smooth_3x3_diamond(z * 1.0), TypeError, "^image must be a 2-D uint8 array, not float64$"),
    (lambda z: imgnorm.add_clamp(z, z.astype(np.int16)), TypeError, "^b must be a 2-D uint8 array, not int16$"),
    (lambda z: imgnorm.morph_3x3_diamond(z[:0]), ValueError, "^image must not be empty"),
])
def test_functions_check_their_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call(np.zeros((4, 6), dtype=np.uint8))
