"""Gray-level normalization of 8-bit images.

A Normalizer is trained once with a reference image, an optional mask and a
set of methods, then run on run-time images, one method per run:

    import numpy as np
    import imgnorm

    tool = imgnorm.Normalizer(neighborhood=(31, 31))
    tool.train(reference, mask, methods=imgnorm.Method.HISTOGRAM | imgnorm.Method.LOCAL)
    result = tool.run(image, imgnorm.Method.HISTOGRAM)

Images are 2-D uint8 numpy arrays (masks may be bool). Arrays whose rows are
contiguous are read in place; results are new arrays.

Colour images, (rows, cols, 3 or 4) uint8 arrays, take channel_axis=-1 on
train and run; alpha is carried through unchanged. color="channels" (the
default) normalizes each channel on the reference's same channel,
color="luminance" the luma only, keeping each pel's chroma (the usual
choice for photographs):

    tool.train(photo, methods=imgnorm.Method.HISTOGRAM, channel_axis=-1, color="luminance")
    result = tool.run(other_photo, imgnorm.Method.HISTOGRAM, channel_axis=-1)

With a global method or LINEAR_FIT and no mask, an image of another shape
than the reference (given without an offset) is mapped whole through the
map of its whole histogram. tool.explain(image, method) returns that map
(a uint8 array of 256) and what it was built from as a dict. The library's pixel
operations are available as functions over arrays as well, and
read_image/write_image read and write PNG, TIFF and PGM/PPM files with the
command line's readers and atomic writers, colour and alpha as the file
holds them ((rows, cols, C) arrays; read_image(path, as_gray=True) for
gray always); 16-bit files as uint16 arrays of their significant bits
(read_image(path, return_bits=True), write_image(path, image, bits=12)).

imgnorm.dask (needs the dask and distributed packages) normalizes batches of
files on a Dask cluster and images larger than memory as dask arrays.
"""

import enum
from typing import TYPE_CHECKING

from ._imgnorm import (
    _METHODS,
    BadImage,
    BadParams,
    CanNotRun,
    CanNotTrain,
    Error,
    HostError,
    ImageFileError,
    NormalizationFailed,
    Normalizer,
    NotImplemented,
    __version__,
    NotTrained,
    _set_method_type,
    add_clamp,
    flood_fill,
    masked_histogram,
    morph_3x3_diamond,
    read_image,
    smooth_3x3_diamond,
    sub_clamp,
    sub_clamp_signed,
    write_image,
)


# One member per method of the library's table, named as on the command
# line in capitals (linear-fit: LINEAR_FIT), and IDENTITY. Type checkers
# cannot read the table: they see the members spelled out, which stubtest and
# tests/test_typing.py compare with it.
if TYPE_CHECKING:

    class Method(enum.IntFlag):
        IDENTITY = 0
        HISTOGRAM = 1
        MEAN_STDDEV = 2
        TAILS = 4
        LINEAR_FIT = 8
        LOCAL = 16
        LOCAL_ENHANCED = 32

else:
    Method = enum.IntFlag(
        "Method",
        [("IDENTITY", 0)] + [(name.upper().replace("-", "_"), flag) for name, flag, _ in _METHODS],
        module=__name__,
    )
Method.__doc__ = """Normalization methods, a set of flags.

Training takes any combination; running takes exactly one flag or
IDENTITY.

IDENTITY        the run-time image, copied; needs no training.
HISTOGRAM       a gray-level map that makes the cumulative histogram of
                the run-time image follow the reference's.
MEAN_STDDEV     a linear map that gives the run-time image the
                reference's mean and standard deviation.
TAILS           a linear map through the two gray levels at which the
                tail fractions cut both histograms.
LINEAR_FIT      a robust straight line between run-time and reference
                gray values.
LOCAL           subtracts the slowly varying difference to the
                reference, estimated by a mask-normalized Gaussian mean
                over the neighbourhood.
LOCAL_ENHANCED  as LOCAL, with a median limited to the intensity range.

HISTOGRAM, MEAN_STDDEV and TAILS are the global methods.
"""
# The kind of each method: "global", "fit" or "local".
_METHOD_KINDS = {Method(flag): kind for _, flag, kind in _METHODS}


def _methods_of_kind(kind: str) -> Method:
    """The flags of the methods of a kind, as one Method."""
    return Method(sum(flag for _, flag, k in _METHODS if k == kind))


_set_method_type(Method)


def _restore(data: bytes) -> Normalizer:
    """Rebuilds a pickled Normalizer from its archive bytes."""
    return Normalizer.from_bytes(data)


def _reduce(self: Normalizer) -> tuple[object, tuple[bytes]]:
    """Pickles through the library's archive format, for any protocol."""
    return _restore, (self.to_bytes(),)


Normalizer.__reduce__ = _reduce  # type: ignore[assignment]  # a method, patched on purpose

# NotImplemented (the library's error class) stays out of __all__: a star
# import would hide the built-in constant of that name.

__all__ = [
    "BadImage",
    "BadParams",
    "CanNotRun",
    "CanNotTrain",
    "Error",
    "HostError",
    "ImageFileError",
    "Method",
    "NormalizationFailed",
    "Normalizer",
    "NotTrained",
    "add_clamp",
    "flood_fill",
    "masked_histogram",
    "morph_3x3_diamond",
    "read_image",
    "smooth_3x3_diamond",
    "sub_clamp",
    "sub_clamp_signed",
    "write_image",
]
