import numpy as np
import pytest

import imgnorm

from helpers import random_image


@pytest.mark.parametrize("extension", [".png", ".tif", ".pgm"])
def test_written_image_reads_back(tmp_path, extension):
    image = random_image((31, 47), seed=5)
    path = tmp_path / ("image" + extension)
    imgnorm.write_image(path, image[:, ::-1])  # not contiguous: copied first
    assert not [p for p in tmp_path.iterdir() if p != path]  # no temporary left
    np.testing.assert_array_equal(imgnorm.read_image(str(path)), image[:, ::-1])


def test_failures_raise_image_file_error_with_the_readers_message(tmp_path):
    missing = tmp_path / "missing.png"
    with pytest.raises(imgnorm.ImageFileError, match="missing.png: cannot open") as error:
        imgnorm.read_image(missing)
    assert isinstance(error.value, OSError) and error.value.error_number is None
    (tmp_path / "short.pgm").write_bytes(b"P5\n4 4\n255\nab")
    with pytest.raises(imgnorm.ImageFileError, match="short.pgm"):
        imgnorm.read_image(tmp_path / "short.pgm")
    with pytest.raises(imgnorm.ImageFileError, match="extension"):
        imgnorm.write_image(tmp_path / "image.bmp", random_image((4, 4), seed=1))
    with pytest.raises(TypeError):
        imgnorm.write_image(tmp_path / "image.png", np.zeros((4, 4), np.uint16))
