import numpy as np
import pytest

import imgnorm
from imgnorm import Method

from helpers import gradient_image

ALL = Method(63)
SINGLE_METHODS = [
    Method.HISTOGRAM,
    Method.MEAN_STDDEV,
    Method.TAILS,
    Method.LINEAR_FIT,
    Method.LOCAL,
    Method.LOCAL_ENHANCED,
]


@pytest.fixture(scope="module")
def reference():
    return gradient_image((64, 80), seed=1)


@pytest.fixture(scope="module")
def image():
    return (gradient_image((64, 80), seed=2) // 2 + 30).astype(np.uint8)


@pytest.fixture(scope="module")
def trained(reference):
    tool = imgnorm.Normalizer(neighborhood=(9, 9))
    tool.train(reference, methods=ALL)
    return tool


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"neighborhood": (0, 5)}, "Both elements of neighborhoodSize must be >= 1"),
        ({"tail_fractions": (0.6, 0.5)}, "Tail fraction must be: 0.0 <= frac.x() <= frac.y() <= 1.0"),
    ],
)
def test_rejected_parameters_raise_bad_params_with_the_library_message(kwargs, message):
    with pytest.raises(imgnorm.BadParams) as caught:
        imgnorm.Normalizer(**kwargs)
    assert str(caught.value) == message
    assert caught.value.error_number == 0x10007A01
    assert isinstance(caught.value, ValueError)
    assert isinstance(caught.value, imgnorm.Error)


def test_training_stores_copies_of_the_images_and_the_methods(reference):
    ref = reference.copy()
    mask = np.zeros(ref.shape, dtype=bool)
    mask[10:50, 5:70] = True
    tool = imgnorm.Normalizer()
    tool.train(ref, mask, methods=Method.HISTOGRAM | Method.LOCAL, reference_offset=(3, -2), mask_offset=(1, 1))
    assert tool.trained_methods == Method.HISTOGRAM | Method.LOCAL
    ref[:] = 0  # the tool keeps its own copy
    np.testing.assert_array_equal(tool.reference, reference)
    np.testing.assert_array_equal(tool.mask, mask.astype(np.uint8))
    assert tool.reference_offset == (3, -2)
    assert tool.mask_offset == (1, 1)
    returned = tool.reference
    returned[:] = 1
    np.testing.assert_array_equal(tool.reference, reference)


def test_set_changes_run_time_parameters_without_untraining(trained):
    tool = imgnorm.Normalizer(neighborhood=(9, 9))
    tool.train(trained.reference, methods=Method.TAILS)
    tool.set(tail_fractions=(0.1, 0.9), intensity_range=(-20, 30), keep_masked_pixels=True)
    assert tool.trained_methods == Method.TAILS
    assert tool.tail_fractions == (0.1, 0.9)
    assert tool.intensity_range == (-20, 30)
    assert tool.keep_masked_pixels is True
    tool.set(keep_masked_pixels=False)
    assert tool.tail_fractions == (0.1, 0.9) and tool.keep_masked_pixels is False


def test_rejected_set_changes_nothing(trained):
    tool = imgnorm.Normalizer(neighborhood=(9, 9))
    tool.train(trained.reference, methods=Method.TAILS)
    with pytest.raises(imgnorm.BadParams, match="^intensityVariationRange must be: x <= 0 and y >= 0$"):
        tool.set(tail_fractions=(0.3, 0.4), intensity_range=(5, 6))
    assert tool.tail_fractions == (0.0, 1.0)
    assert tool.trained_methods == Method.TAILS


def test_training_errors_map_to_can_not_train_and_leave_the_tool_alone(reference):
    tool = imgnorm.Normalizer()
    tool.train(reference, methods=Method.LOCAL)
    with pytest.raises(imgnorm.CanNotTrain) as caught:
        tool.train(reference, methods=64)
    assert str(caught.value) == "<methods> contains an unknown normalization method."
    assert caught.value.error_number == 0x10007A03
    assert tool.trained_methods == Method.LOCAL
    for huge in (1 << 40, -1):
        with pytest.raises(imgnorm.CanNotTrain, match="unknown normalization method"):
            tool.train(reference, methods=huge)
    with pytest.raises(TypeError, match="methods must be an imgnorm.Method or an int, not str"):
        tool.train(reference, methods="HISTOGRAM")


def test_an_empty_reference_histogram_fails_only_the_global_methods(reference, image):
    # As in C++: the tool keeps the new images and the other methods.
    tool = imgnorm.Normalizer(neighborhood=(5, 5))
    tool.train(reference, methods=Method.HISTOGRAM)
    empty = np.zeros_like(reference)
    with pytest.raises(imgnorm.CanNotTrain, match="^Histogram must be non-empty for the specified methods.$"):
        tool.train(reference, empty, methods=Method.HISTOGRAM | Method.LOCAL)
    assert tool.trained_methods == Method.LOCAL
    assert np.array_equal(tool.mask, empty)
    assert tool.run(image, Method.LOCAL).shape == reference.shape
    with pytest.raises(imgnorm.NotTrained):
        tool.run(image, Method.HISTOGRAM)
    with pytest.raises(imgnorm.CanNotTrain):
        tool.train(reference, empty, methods=Method.TAILS)
    assert tool.trained_methods == Method.IDENTITY


def test_run_errors_map_to_library_classes(trained, image):
    with pytest.raises(imgnorm.BadParams, match="^Cannot run with more than one normalization method.$"):
        trained.run(image, Method.HISTOGRAM | Method.TAILS)
    with pytest.raises(imgnorm.BadParams, match="^Cannot specify an unknown normalization method.$"):
        trained.run(image, 64)
    untrained = imgnorm.Normalizer()
    untrained.train(trained.reference, methods=Method.HISTOGRAM)
    with pytest.raises(imgnorm.NotTrained) as caught:
        untrained.run(image, Method.LINEAR_FIT)
    assert str(caught.value) == "This tool was not trained for the specified  method."
    assert caught.value.error_number == 0x10007A02
    assert isinstance(caught.value, RuntimeError)


def test_identity_copies_the_whole_image_without_training(image):
    result = imgnorm.Normalizer().run(image, Method.IDENTITY, offset=(500, 500))
    np.testing.assert_array_equal(result, image)
    assert result.flags.c_contiguous and result.flags.writeable
    assert not np.shares_memory(result, image)


@pytest.mark.parametrize("method", SINGLE_METHODS)
def test_every_method_gives_a_uint8_image_of_the_overlap(trained, image, method):
    result = trained.run(image, method)
    assert result.dtype == np.uint8 and result.shape == image.shape
    assert result.flags.c_contiguous and result.flags.writeable
    # Moving the image moves the region it shares with the reference.
    shifted = trained.run(image, method, offset=(10, 4))
    assert shifted.shape == (image.shape[0] - 4, image.shape[1] - 10)


@pytest.mark.parametrize("width", [64, 70])
def test_results_share_memory_with_nothing_and_outlive_the_tool(width):
    # A width of 64 lets the result keep the library's memory, 70 is copied.
    reference = gradient_image((40, width), seed=5)
    image = gradient_image((40, width), seed=6)
    tool = imgnorm.Normalizer(neighborhood=(7, 7))
    tool.train(reference, methods=Method.HISTOGRAM | Method.LOCAL)
    results = [tool.run(image, m) for m in (Method.HISTOGRAM, Method.LOCAL, Method.IDENTITY)]
    expected = [r.copy() for r in results]
    del tool
    for result, copy in zip(results, expected):
        assert result.flags.c_contiguous and result.flags.writeable
        assert not np.shares_memory(result, image) and not np.shares_memory(result, reference)
        result += 1
        np.testing.assert_array_equal(result, copy + 1)
    assert not np.shares_memory(results[0], results[1])
    np.testing.assert_array_equal(image, gradient_image((40, width), seed=6))


def test_no_overlap_gives_an_empty_result(trained, image):
    result = trained.run(image, Method.HISTOGRAM, offset=(1000, 0))
    assert result.shape == (0, 0) and result.dtype == np.uint8


def test_a_run_that_does_not_succeed_raises_normalization_failed(reference):
    tool = imgnorm.Normalizer()
    mask = np.zeros(reference.shape, dtype=np.uint8)
    mask[:4, :4] = 1
    tool.train(reference, mask, methods=Method.MEAN_STDDEV | Method.HISTOGRAM)
    # Every mask pel lies outside the moved image: an empty run-time histogram.
    with pytest.raises(imgnorm.NormalizationFailed) as caught:
        tool.run(reference, Method.HISTOGRAM, offset=(10, 10))
    assert str(caught.value) == "Cannot normalize since histogram is empty."
    assert caught.value.error_number is None
    with pytest.raises(imgnorm.NormalizationFailed, match="^Cannot match when standard deviation is 0.$"):
        tool.run(np.full(reference.shape, 9, dtype=np.uint8), Method.MEAN_STDDEV)


def test_help_reads_like_the_library_documentation():
    doc = imgnorm.Normalizer.__doc__
    assert "Normalizes the gray levels of 8-bit images" in doc
    for name in ("train", "run", "set", "save", "load"):
        assert getattr(imgnorm.Normalizer, name).__doc__
    assert imgnorm.Normalizer.__module__ == "imgnorm"
