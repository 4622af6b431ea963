"""How arrays go in and come out: dtypes, shapes, strides, offsets."""

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image, random_image


@pytest.fixture(scope="module")
def tool():
    reference = gradient_image((48, 64), seed=11)
    tool = imgnorm.Normalizer(neighborhood=(7, 7))
    tool.train(reference, methods=Method(63))
    return tool


@pytest.fixture(scope="module")
def image():
    return gradient_image((48, 64), seed=12)


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.float32, np.int64, bool])
def test_wrong_dtype_is_a_type_error(tool, image, dtype):
    with pytest.raises(TypeError, match="^image must be a 2-D uint8 array, not "):
        tool.run(image.astype(dtype), Method.HISTOGRAM)


def test_only_arrays_are_images(tool):
    with pytest.raises(TypeError):
        tool.run([[1, 2], [3, 4]], Method.IDENTITY)


@pytest.mark.parametrize("shape", [(64,), (2, 3, 4), ()])
def test_wrong_number_of_dimensions_is_a_value_error(tool, shape):
    with pytest.raises(ValueError, match=r"^image must be a 2-D uint8 array, not \d-D$"):
        tool.run(np.zeros(shape, dtype=np.uint8), Method.HISTOGRAM)


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
def test_empty_arrays_are_refused(tool, shape):
    with pytest.raises(ValueError, match=r"^image must not be empty, its shape is \(\d, \d\)$"):
        tool.run(np.zeros(shape, dtype=np.uint8), Method.HISTOGRAM)


def test_arguments_are_named_in_messages(image):
    tool = imgnorm.Normalizer()
    with pytest.raises(TypeError, match="^reference must be a 2-D uint8 array"):
        tool.train(image.astype(np.int32))
    with pytest.raises(TypeError, match="^mask must be a 2-D uint8 or bool array, not float64$"):
        tool.train(image, np.ones(image.shape))
    with pytest.raises(ValueError, match="^mask must not be empty"):
        tool.train(image, np.ones((0, 3), dtype=bool))
    assert tool.trained_methods == Method.IDENTITY and tool.reference is None


def test_bool_and_uint8_masks_train_alike(image):
    mask = random_image(image.shape, seed=3) > 100
    as_bool, as_uint8 = imgnorm.Normalizer(), imgnorm.Normalizer()
    as_bool.train(image, mask, methods=Method.HISTOGRAM)
    as_uint8.train(image, mask.astype(np.uint8) * 200, methods=Method.HISTOGRAM)
    runtime = gradient_image(image.shape, seed=4)
    np.testing.assert_array_equal(as_bool.run(runtime, Method.HISTOGRAM), as_uint8.run(runtime, Method.HISTOGRAM))


def strided_variants(image):
    """The same pels laid out in several ways, contiguous rows or not."""
    height, width = image.shape
    wide = np.zeros((height, width + 13), dtype=np.uint8)
    wide[:, 5 : 5 + width] = image  # contiguous rows, row stride above width
    tall = np.zeros((2 * height, width), dtype=np.uint8)
    tall[::2] = image  # every other row
    spread = np.zeros((height, 3 * width), dtype=np.uint8)
    spread[:, ::3] = image  # pels three bytes apart
    flipped = np.ascontiguousarray(image[::-1, ::-1])
    fortran = np.asfortranarray(image)
    readonly = image.copy()
    readonly.flags.writeable = False
    return {
        "wide rows": wide[:, 5 : 5 + width],
        "every other row": tall[::2],
        "pel stride 3": spread[:, ::3],
        "negative strides": flipped[::-1, ::-1],
        "fortran order": fortran,
        "read-only": readonly,
        "transposed twice": image.T.copy().T,
    }


@pytest.mark.parametrize("method", [Method.IDENTITY, Method.HISTOGRAM, Method.LINEAR_FIT, Method.LOCAL_ENHANCED])
def test_any_layout_gives_the_contiguous_result(tool, image, method):
    expected = tool.run(image, method)
    for name, variant in strided_variants(image).items():
        np.testing.assert_array_equal(variant, image)  # the variant holds the same pels
        np.testing.assert_array_equal(tool.run(variant, method), expected, err_msg=name)


def test_strided_reference_and_mask_train_like_contiguous_ones(image):
    reference = gradient_image(image.shape, seed=21)
    mask = (random_image(image.shape, seed=22) > 60).astype(np.uint8)
    plain, strided = imgnorm.Normalizer(neighborhood=(5, 5)), imgnorm.Normalizer(neighborhood=(5, 5))
    plain.train(reference, mask)
    strided.train(strided_variants(reference)["pel stride 3"], strided_variants(mask)["wide rows"])
    assert plain == strided
    for method in (Method.TAILS, Method.LOCAL):
        np.testing.assert_array_equal(plain.run(image, method), strided.run(image, method))


def test_input_arrays_are_left_alone(tool, image):
    before = image.copy()
    for method in (Method.HISTOGRAM, Method.LOCAL, Method.IDENTITY):
        tool.run(image, method)
    np.testing.assert_array_equal(image, before)


def test_single_row_and_column_images(tool):
    row = np.arange(64, dtype=np.uint8).reshape(1, 64)
    column = np.arange(48, dtype=np.uint8).reshape(48, 1)
    assert tool.run(row, Method.HISTOGRAM).shape == (1, 64)
    assert tool.run(column, Method.HISTOGRAM).shape == (48, 1)
    # An axis of length 1 may report any stride.
    odd_row = np.lib.stride_tricks.as_strided(row, shape=(1, 64), strides=(7, 1))
    np.testing.assert_array_equal(tool.run(odd_row, Method.IDENTITY), row)
    odd_column = np.lib.stride_tricks.as_strided(column, shape=(48, 1), strides=(1, 1000))
    np.testing.assert_array_equal(tool.run(odd_column, Method.IDENTITY), column)
    np.testing.assert_array_equal(tool.run(np.asfortranarray(column), Method.HISTOGRAM), tool.run(column, Method.HISTOGRAM))


def test_offsets_stay_within_the_archivable_range(tool, image):
    assert tool.run(image, Method.HISTOGRAM, offset=(2**30, -(2**30))).shape == (0, 0)
    with pytest.raises(ValueError, match=r"^the offset of image must lie within -2\*\*30..2\*\*30, not 1073741825$"):
        tool.run(image, Method.HISTOGRAM, offset=(0, 2**30 + 1))
    with pytest.raises(ValueError, match="^the offset of mask must lie within"):
        imgnorm.Normalizer().train(image, image, mask_offset=(-(2**62), 0))
