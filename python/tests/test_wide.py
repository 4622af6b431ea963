"""uint16 images: the tool's depth follows its reference, the dtype rules, and
the maps against the uint8 results on images scaled by 257."""

import pickle

import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image, random_image, trained

GLOBAL = [Method.HISTOGRAM, Method.MEAN_STDDEV, Method.TAILS, Method.LINEAR_FIT]


def wide_tool(reference, bits, methods, mask=None):
    tool = imgnorm.Normalizer()
    tool.train(reference, mask, methods=methods, bits=bits)
    return tool


@pytest.mark.parametrize("method", GLOBAL)
def test_scaled_by_257_gives_the_uint8_result_scaled(method):
    reference, image = gradient_image((40, 50), 1), random_image((40, 50), 2, 30, 220)
    mask = random_image((40, 50), 3) > 60
    expected = trained(reference, mask, methods=method).run(image, method).astype(np.int64) * 257
    tool = wide_tool(reference.astype(np.uint16) * 257, 16, method, mask)
    result = tool.run(image.astype(np.uint16) * 257, method)
    assert result.dtype == np.uint16 and result.shape == image.shape
    # Exact for histogram matching, half a uint8 level for the rounding fit,
    # one level for the truncating linear maps.
    tolerance = {Method.HISTOGRAM: 0, Method.LINEAR_FIT: 129}.get(method, 257)
    assert np.abs(result.astype(np.int64) - expected).max() <= tolerance


@pytest.mark.parametrize("method", GLOBAL + [Method.LOCAL, Method.LOCAL_ENHANCED], ids=lambda m: m.name)
def test_threads_share_the_rows_of_one_uint16_image_exactly(method):
    # Large enough for several strips of rows.
    rows, cols = np.indices((900, 700))
    reference = (rows * 2 + cols * 2 + (rows * cols) % 97).astype(np.uint16)
    image = (reference * 9 // 10 + 150 + (rows + cols) % 23).astype(np.uint16)
    tool = imgnorm.Normalizer(neighborhood=(15, 9), intensity_range=(-2000, 2000))
    tool.train(reference, methods=method, bits=12)
    np.testing.assert_array_equal(tool.run(image, method, threads=3), tool.run(image, method))


def test_the_intensity_range_left_at_its_default_spans_the_depth():
    reference = np.random.default_rng(6).integers(0, 4096, size=(20, 20), dtype=np.uint16)
    assert wide_tool(reference, 12, Method.LOCAL).intensity_range == (-4095, 4095)
    narrowed = imgnorm.Normalizer(intensity_range=(-50, 60))
    narrowed.train(reference, methods=Method.LOCAL, bits=12)
    assert narrowed.intensity_range == (-50, 60)


def test_the_map_explained_is_the_map_applied_and_the_bits_hold():
    reference = np.random.default_rng(4).integers(0, 4096, size=(30, 30), dtype=np.uint16)
    image = np.random.default_rng(5).integers(100, 3000, size=(30, 30), dtype=np.uint16)
    tool = wide_tool(reference, 12, Method.HISTOGRAM | Method.LINEAR_FIT)
    assert tool.bits == 12 and trained(gradient_image((5, 5), 1)).bits == 8
    for method in (Method.HISTOGRAM, Method.LINEAR_FIT):
        explanation = tool.explain(image, method)
        table = explanation["maps"][0]["map"]
        assert table.dtype == np.uint16 and table.shape == (4096,)
        assert table.max() <= 4095
        np.testing.assert_array_equal(table[image], tool.run(image, method))
    # Another size, no mask: mapped whole, as uint8 images are.
    smaller = image[:7, :11]
    np.testing.assert_array_equal(tool.explain(smaller, Method.HISTOGRAM)["maps"][0]["map"][smaller],
                                  tool.run(smaller, Method.HISTOGRAM))


def test_the_tool_keeps_its_depth_through_bytes_and_pickle():
    reference = np.random.default_rng(6).integers(0, 1024, size=(20, 24), dtype=np.uint16)
    image = np.random.default_rng(7).integers(0, 1024, size=(20, 24), dtype=np.uint16)
    tool = wide_tool(reference, 10, Method.TAILS)
    for copy in (imgnorm.Normalizer.from_bytes(tool.to_bytes()), pickle.loads(pickle.dumps(tool))):
        assert copy.bits == 10
        np.testing.assert_array_equal(copy.reference, reference)
        np.testing.assert_array_equal(copy.run(image, Method.TAILS), tool.run(image, Method.TAILS))


def test_dtypes_are_refused_by_name_never_cast():
    wide = wide_tool(np.full((8, 8), 7, np.uint16) + np.arange(8, dtype=np.uint16), 12,
                     Method.HISTOGRAM)
    narrow = trained(gradient_image((8, 8), 1), methods=Method.HISTOGRAM)
    cases = [
        (lambda: wide.run(np.zeros((8, 8), np.uint8), Method.HISTOGRAM), TypeError,
         "this tool is for uint16 images of 12 bits, not uint8"),
        (lambda: narrow.run(np.zeros((8, 8), np.uint16), Method.HISTOGRAM), TypeError,
         "this tool is for uint8 images, not uint16"),
        (lambda: narrow.run(np.zeros((8, 8), np.int16), Method.HISTOGRAM), TypeError,
         "image must be a 2-D uint8 or uint16 array, not int16"),
        (lambda: wide.explain(np.zeros((8, 8), np.uint8), Method.HISTOGRAM), TypeError,
         "this tool is for uint16 images of 12 bits, not uint8"),
        (lambda: imgnorm.Normalizer().train(np.zeros((8, 8), np.uint16), bits=17), ValueError,
         "bits must be 1 to 16, not 17"),
        (lambda: imgnorm.Normalizer().train(np.zeros((8, 8), np.uint8), bits=12), ValueError,
         "bits is for uint16 references only"),
        (lambda: wide.run(np.full((8, 8), 4096, np.uint16), Method.HISTOGRAM), imgnorm.BadImage,
         "The image has 64 pels above its 12 bits."),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as caught:
            call()
        assert message in str(caught.value)


@pytest.mark.parametrize("color", ["channels", "luminance"])
def test_uint16_colour_images_keep_their_channels_and_alpha(color):
    rng = np.random.default_rng(8)
    reference = rng.integers(0, 4096, size=(24, 30, 3), dtype=np.uint16)
    image = np.dstack([rng.integers(200, 3000, size=(24, 30, 3), dtype=np.uint16),
                       rng.integers(0, 65536, size=(24, 30), dtype=np.uint16)])
    tool = imgnorm.Normalizer(neighborhood=(7, 5))
    tool.train(reference, methods=Method.HISTOGRAM | Method.LOCAL, channel_axis=-1, color=color,
               bits=12)
    assert tool.bits == 12 and tool.color == color and tool.intensity_range == (-4095, 4095)
    for method in (Method.HISTOGRAM, Method.LOCAL):
        result = tool.run(image, method, channel_axis=-1)
        assert result.dtype == np.uint16 and result.shape == image.shape
        np.testing.assert_array_equal(result[..., 3], image[..., 3])
        if color == "channels":
            for c in range(3):
                gray = imgnorm.Normalizer(neighborhood=(7, 5))
                gray.train(reference[..., c], methods=method, bits=12)
                np.testing.assert_array_equal(result[..., c], gray.run(image[..., c], method))
        assert result[..., :3].max() <= 4095
    explained = tool.explain(image, Method.HISTOGRAM, channel_axis=-1)
    assert len(explained["maps"]) == (3 if color == "channels" else 1)
    copy = imgnorm.Normalizer.from_bytes(tool.to_bytes())
    np.testing.assert_array_equal(copy.run(image, Method.LOCAL, channel_axis=-1),
                                  tool.run(image, Method.LOCAL, channel_axis=-1))
    with pytest.raises(TypeError, match="this tool is for uint16 images of 12 bits, not uint8"):
        tool.run(image.astype(np.uint8), Method.HISTOGRAM, channel_axis=-1)
    with pytest.raises(TypeError, match="image must be a uint8 or uint16 array, not int16"):
        tool.run(image.astype(np.int16), Method.HISTOGRAM, channel_axis=-1)
