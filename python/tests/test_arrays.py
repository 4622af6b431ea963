"""How arrays go in and come out: dtypes, shapes, strides, offsets, files;
the pixel operations' arguments and results (their numbers are the library's
tests' work)."""

import os
import re

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import ALL, gradient_image, random_image, trained


@pytest.fixture(scope="module")
def tool():
    return trained(gradient_image((48, 64), seed=11), neighborhood=(7, 7))


@pytest.fixture(scope="module")
def image():
    return gradient_image((48, 64), seed=12)


@pytest.mark.parametrize("array, error, message", [
    (np.zeros((4, 4), np.float32), TypeError, "^image must be a 2-D uint8 or uint16 array, not float32$"),
    (np.zeros((4, 4), bool), TypeError, "^image must be a 2-D uint8 or uint16 array, not bool$"),
    ([[1, 2], [3, 4]], TypeError, ""),
    (np.zeros((2, 3, 4), np.uint8), ValueError, r"^image must be a 2-D uint8 or uint16 array, not 3-D$"),
    (np.zeros((0, 5), np.uint8), ValueError, r"^image must not be empty, its shape is \(0, 5\)$"),
    (np.zeros((5, 0), np.uint8), ValueError, r"^image must not be empty, its shape is \(5, 0\)$"),
])
def test_arrays_that_are_no_images_are_refused(tool, array, error, message):
    with pytest.raises(error, match=message):
        tool.run(array, Method.HISTOGRAM)


def test_arguments_are_named_in_messages_and_refusals_change_nothing(image):
    tool = imgnorm.Normalizer()
    with pytest.raises(TypeError, match="^reference must be a 2-D uint8 or uint16 array, not int32$"):
        tool.train(image.astype(np.int32))
    with pytest.raises(TypeError, match="^mask must be a 2-D uint8 or bool array, not float64$"):
        tool.train(image, np.ones(image.shape))
    with pytest.raises(ValueError, match="^mask must not be empty"):
        tool.train(image, np.ones((0, 3), dtype=bool))
    with pytest.raises(TypeError, match="methods must be an imgnorm.Method or an int, not str"):
        tool.train(image, methods="HISTOGRAM")
    assert tool.trained_methods == Method.IDENTITY and tool.reference is None


def strided_variants(image):
    """The same pels laid out in several ways, contiguous rows or not."""
    height, width = image.shape
    wide = np.zeros((height, width + 13), dtype=np.uint8)
    wide[:, 5:5 + width] = image
    tall = np.zeros((2 * height, width), dtype=np.uint8)
    tall[::2] = image
    spread = np.zeros((height, 3 * width), dtype=np.uint8)
    spread[:, ::3] = image
    readonly = image.copy()
    readonly.flags.writeable = False
    return {"wide rows": wide[:, 5:5 + width], "every other row": tall[::2], "pel stride 3": spread[:, ::3],
            "negative strides": np.ascontiguousarray(image[::-1, ::-1])[::-1, ::-1],
            "fortran order": np.asfortranarray(image), "read-only": readonly}


@pytest.mark.parametrize("method", [Method.IDENTITY, Method.HISTOGRAM, Method.LOCAL_ENHANCED])
def test_any_layout_gives_the_contiguous_result_and_is_left_alone(tool, image, method):
    expected = tool.run(image, method)
    for name, variant in strided_variants(image).items():
        before = variant.copy()
        np.testing.assert_array_equal(tool.run(variant, method), expected, err_msg=name)
        np.testing.assert_array_equal(variant, before, err_msg=name)


def test_strided_bool_and_uint8_masks_train_like_contiguous_ones(image):
    reference = gradient_image(image.shape, seed=21)
    mask = random_image(image.shape, seed=22) > 60
    plain = trained(reference, mask, neighborhood=(5, 5))
    strided = trained(strided_variants(reference)["pel stride 3"],
                      strided_variants(mask.astype(np.uint8) * 200)["wide rows"], neighborhood=(5, 5))
    np.testing.assert_array_equal(strided.reference, reference)
    returned = strided.reference  # a copy out, as the tool keeps its own
    returned[:] = 1
    np.testing.assert_array_equal(strided.reference, reference)
    np.testing.assert_array_equal(strided.mask, mask.astype(np.uint8) * 200)
    for method in (Method.HISTOGRAM, Method.TAILS, Method.LOCAL):
        np.testing.assert_array_equal(plain.run(image, method), strided.run(image, method))


def test_single_row_and_column_images_with_any_stride_on_the_unit_axis(tool):
    row = np.arange(64, dtype=np.uint8).reshape(1, 64)
    column = np.arange(48, dtype=np.uint8).reshape(48, 1)
    assert tool.run(row, Method.HISTOGRAM).shape == (1, 64)
    odd_row = np.lib.stride_tricks.as_strided(row, shape=(1, 64), strides=(7, 1))
    np.testing.assert_array_equal(tool.run(odd_row, Method.IDENTITY), row)
    odd_column = np.lib.stride_tricks.as_strided(column, shape=(48, 1), strides=(1, 1000))
    np.testing.assert_array_equal(tool.run(odd_column, Method.HISTOGRAM), tool.run(column, Method.HISTOGRAM))


def test_offsets_pick_the_overlap_within_the_archivable_range(tool, image):
    assert tool.run(image, Method.LOCAL, offset=(10, 4)).shape == (44, 54)
    empty = tool.run(image, Method.HISTOGRAM, offset=(2**30, -(2**30)))
    assert empty.shape == (0, 0) and empty.dtype == np.uint8
    with pytest.raises(ValueError, match=r"^the offset of image must lie within -2\*\*30..2\*\*30, not 1073741825$"):
        tool.run(image, Method.HISTOGRAM, offset=(0, 2**30 + 1))
    with pytest.raises(ValueError, match="^the offset of mask must lie within"):
        imgnorm.Normalizer().train(image, image, mask_offset=(-(2**62), 0))


@pytest.mark.parametrize("width", [64, 70])
def test_results_are_fresh_arrays_that_outlive_the_tool(width):
    # A width of 64 lets the result keep the library's memory, 70 is copied.
    reference, image = gradient_image((40, width), seed=5), gradient_image((40, width), seed=6)
    tool = trained(reference, methods=ALL, neighborhood=(7, 7))
    results = [tool.run(image, m) for m in (Method.HISTOGRAM, Method.LOCAL, Method.IDENTITY)]
    expected = [r.copy() for r in results]
    del tool
    for result, copy in zip(results, expected):
        assert result.dtype == np.uint8 and result.flags.c_contiguous and result.flags.writeable
        assert not np.shares_memory(result, image) and not np.shares_memory(result, reference)
        result += 1
        np.testing.assert_array_equal(result, copy + 1)
    assert not np.shares_memory(results[0], results[1])


def test_written_image_reads_back(tmp_path):
    # The formats are the image reader's tests' work; this is the binding's.
    image = random_image((31, 47), seed=5)
    path = tmp_path / "image.tif"
    imgnorm.write_image(path, image[:, ::-1])  # not contiguous: copied first
    assert list(tmp_path.iterdir()) == [path]  # no temporary left
    np.testing.assert_array_equal(imgnorm.read_image(str(path)), image[:, ::-1])


def test_images_of_other_shapes_and_types_are_refused(tmp_path):
    with pytest.raises(ValueError, match=r"^image must be 2-D \(gray\) or 3-D with 1 to 4 channels on its "
                                         r"last axis, not of shape \(4, 4, 5\)$"):
        imgnorm.write_image(tmp_path / "x.png", np.zeros((4, 4, 5), np.uint8))
    with pytest.raises(imgnorm.ImageFileError, match="PGM cannot hold the image's alpha"):
        imgnorm.write_image(tmp_path / "x.pgm", np.zeros((4, 4, 2), np.uint8))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("dtype, bits", [(np.uint8, 8), (np.uint16, 16), (np.uint16, 12)])
@pytest.mark.parametrize("name, channels", [("i.png", 1), ("i.png", 2), ("i.png", 4), ("i.tif", 2),
                                            ("i.tif", 3), ("i.tif", 4), ("i.pgm", 1)])
def test_images_come_back_as_the_file_holds_them(tmp_path, name, channels, dtype, bits):
    shape = (9, 13, channels)[:2 if channels == 1 else 3]
    image = np.random.default_rng(bits).integers(0, 2**bits, size=shape, dtype=dtype)[::-1]
    imgnorm.write_image(tmp_path / name, image, bits=bits)  # not contiguous: copied first
    back, read_bits = imgnorm.read_image(tmp_path / name, return_bits=True)
    assert back.dtype == imgnorm.read_image(tmp_path / name).dtype == dtype and read_bits == bits
    np.testing.assert_array_equal(back, image)
    colour = image.reshape(9, 13, channels).astype(np.int64)
    luma = colour[..., 0] if channels < 3 else (colour[..., :3] @ [299, 587, 114] + 500) // 1000
    np.testing.assert_array_equal(imgnorm.read_image(tmp_path / name, as_gray=True), luma)


@pytest.mark.parametrize("image, bits, error, message", [
    (np.zeros((4, 4, 3)), None, TypeError, "^image must be a uint8 or uint16 array, not float64$"),
    (np.zeros((4, 4), np.int16), None, TypeError, "uint16 array, not int16$"),
    (np.zeros((4, 4), np.uint32), None, TypeError, "uint16 array, not uint32$"),
    (np.zeros((4, 4), bool), None, TypeError, "uint16 array, not bool$"),
    (np.full((4, 4), 4096, np.uint16), 12, ValueError, "^image holds 4096, above 4095, the largest value of 12 bits$"),
    (np.zeros((4, 4), np.uint16), 17, ValueError, "^bits must be 1 to 16 for a uint16 image, not 17$"),
    (np.zeros((4, 4), np.uint16), 0, ValueError, "^bits must be 1 to 16 for a uint16 image, not 0$"),
    (np.zeros((4, 4), np.uint8), 12, ValueError, "^bits must be 8 for a uint8 image, not 12$"),
])
def test_write_image_takes_uint8_or_uint16_within_their_bits(tmp_path, image, bits, error, message):
    with pytest.raises(error, match=message):
        imgnorm.write_image(tmp_path / "x.png", image, bits=bits)
    assert list(tmp_path.iterdir()) == []


def save_tool(path):
    trained(gradient_image((8, 8), seed=6), methods=Method.HISTOGRAM).save(path)


def write_small_image(path):
    imgnorm.write_image(path, random_image((4, 4), seed=7))


# Each call once with a path cut at its NUL; reads find a file at the cut.
NUL_PATH_CALLS = {
    "read_image": (write_small_image, imgnorm.read_image),
    "write_image": (None, write_small_image),
    "load": (save_tool, imgnorm.Normalizer.load),
    "save": (None, save_tool),
}


@pytest.mark.parametrize("spelling", [str, os.fsencode], ids=["str", "bytes"])
@pytest.mark.parametrize("name", NUL_PATH_CALLS)
def test_a_path_with_a_nul_is_refused_not_cut(tmp_path, name, spelling):
    prepare, call = NUL_PATH_CALLS[name]
    cut = tmp_path / "x.pgm"
    if prepare:
        prepare(cut)
    before = sorted(tmp_path.iterdir())
    path = spelling(str(cut) + "\0.png")
    with pytest.raises(ValueError, match=f"^path must not contain a NUL character: {re.escape(repr(path))}$"):
        call(path)
    assert sorted(tmp_path.iterdir()) == before


def test_operations_take_strided_operands_in_order_and_leave_them_alone():
    a = random_image((10, 18), seed=71)[::2, ::2]
    b = random_image((5, 9), seed=72)
    before = a.copy()
    for function in (imgnorm.sub_clamp_signed, imgnorm.add_clamp, lambda x, y: imgnorm.sub_clamp(x, y, 50)):
        result = function(a, b)
        assert result.dtype == np.uint8 and result.shape == a.shape
        np.testing.assert_array_equal(result, function(a.copy(), b))
        assert function is imgnorm.add_clamp or not np.array_equal(result, function(b, a))
    assert not np.array_equal(imgnorm.sub_clamp(a, b, 5), imgnorm.sub_clamp(a, b, 50))  # the limit reaches it
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
