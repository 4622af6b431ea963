# Types of the compiled module (python/src/*.cpp). The bindings carry no
# signatures stubtest can read, so keep this in step with them by hand.
import os
from collections.abc import Callable, Sequence
from typing import ClassVar, Literal, SupportsIndex, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import NotRequired, TypeAlias, TypedDict

from . import Method

__version__: str

# uint8 images: (rows, columns) gray; colour with a channel axis of 3 or 4.
_Image: TypeAlias = NDArray[np.uint8]
_WideImage: TypeAlias = NDArray[np.uint16]
# Anything os.fsencode takes.
_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
# Masks: a pel takes part where it is non-zero.
_Mask: TypeAlias = NDArray[np.uint8] | NDArray[np.bool_]
# Method flags: an imgnorm.Method or anything with __index__.
_Methods: TypeAlias = SupportsIndex
_Color: TypeAlias = Literal["channels", "luminance"]

# (command-line name, flag, kind) of each of the library's methods.
_METHODS: tuple[tuple[str, int, Literal["global", "fit", "local"]], ...]

def _set_method_type(arg0: Callable[[int], object], /) -> None: ...

class Error(Exception):
    # None for a failure the library reports without an exception.
    error_number: int | None

class BadImage(Error, ValueError): ...
class BadParams(Error, ValueError): ...
class CanNotTrain(Error, ValueError): ...
class NotTrained(Error, RuntimeError): ...
class CanNotRun(Error, RuntimeError): ...
class NotImplemented(Error, NotImplementedError): ...
class HostError(Error, RuntimeError): ...
class NormalizationFailed(Error, RuntimeError): ...
class ImageFileError(Error, OSError): ...

# What Normalizer.explain returns.
class _Statistics(TypedDict):
    count: int
    mean: float
    stddev: float
    lower_tail: int
    upper_tail: int

class _Region(TypedDict):
    x: int
    y: int
    width: int
    height: int

class _Fit(TypedDict):
    line_found: bool
    gain: float
    offset: float
    near_line_share: float
    near_line_distance: float

class _PlaneMap(TypedDict):
    plane: Literal["gray", "red", "green", "blue", "luminance"]
    map: _Image | _WideImage
    region: _Region
    run_time: _Statistics
    reference: _Statistics
    fit: NotRequired[_Fit]  # LINEAR_FIT only

class _Explanation(TypedDict):
    method: Method
    color: Literal["gray", "channels", "luminance"]
    success: bool
    message: str
    maps: list[_PlaneMap]

# pybind11's classes have a metaclass of their own (pybind11_builtins.pybind11_type).
class _pybind11_type(type): ...

class Normalizer(metaclass=_pybind11_type):
    def __init__(
        self,
        tail_fractions: tuple[float, float] = (0.0, 1.0),
        neighborhood: tuple[int, int] = (101, 101),
        granularity: tuple[int, int] = (1, 1),
        intensity_range: tuple[int, int] = (-127, 127),
        keep_masked_pixels: bool = False,
        model: str = "subtract",
    ) -> None: ...
    def train(
        self,
        reference: _Image | _WideImage | Sequence[_Image] | Sequence[_WideImage],
        mask: _Mask | None = None,
        methods: _Methods = 63,  # every method
        *,
        reference_offset: tuple[int, int] = (0, 0),
        mask_offset: tuple[int, int] = (0, 0),
        channel_axis: int | None = None,
        color: _Color | None = None,
        bits: int | None = None,
        combine: Literal["mean", "median"] = "mean",
    ) -> None: ...
    @overload
    def run(  # type: ignore[misc]  # numpy's uint8 and uint16 arrays do not overlap
        self,
        image: _Image,
        method: _Methods,
        *,
        offset: tuple[int, int] | None = None,
        threads: SupportsIndex | None = 1,
        channel_axis: int | None = None,
    ) -> _Image: ...
    @overload
    def run(
        self,
        image: _WideImage,
        method: _Methods,
        *,
        offset: tuple[int, int] | None = None,
        threads: SupportsIndex | None = 1,
        channel_axis: int | None = None,
    ) -> _WideImage: ...
    def run_with_field(
        self,
        image: _Image | _WideImage,
        method: _Methods,
        *,
        offset: tuple[int, int] | None = None,
    ) -> tuple[_Image | _WideImage, NDArray[np.int32] | NDArray[np.float32]]: ...
    def explain(
        self,
        image: _Image | _WideImage,
        method: _Methods,
        *,
        offset: tuple[int, int] | None = None,
        channel_axis: int | None = None,
    ) -> _Explanation: ...
    def set(
        self,
        tail_fractions: tuple[float, float] | None = None,
        intensity_range: tuple[int, int] | None = None,
        keep_masked_pixels: bool | None = None,
        model: str | None = None,
    ) -> None: ...
    @property
    def trained_methods(self) -> Method: ...
    @property
    def bits(self) -> int: ...
    @property
    def color(self) -> Literal["gray", "channels", "luminance"]: ...
    @property
    def tail_fractions(self) -> tuple[float, float]: ...
    @property
    def neighborhood(self) -> tuple[int, int]: ...
    @property
    def granularity(self) -> tuple[int, int]: ...
    @property
    def intensity_range(self) -> tuple[int, int]: ...
    @property
    def keep_masked_pixels(self) -> bool: ...
    @property
    def model(self) -> str: ...
    @property
    def reference(self) -> _Image | None: ...
    @property
    def mask(self) -> _Image | None: ...
    @property
    def reference_offset(self) -> tuple[int, int] | None: ...
    @property
    def mask_offset(self) -> tuple[int, int] | None: ...
    def save(self, path: _Path) -> None: ...
    @staticmethod
    def load(path: _Path) -> Normalizer: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(data: bytes) -> Normalizer: ...
    def __copy__(self) -> Normalizer: ...
    def __deepcopy__(self, memo: object) -> Normalizer: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Behind imgnorm.dask: a run over the parts of an image. Pairs are any
    # sequence of two, as the binding takes them and dask gives them.
    def _covered(
        self, shape: Sequence[int], offset: Sequence[int]
    ) -> tuple[int, int, int, int] | None: ...
    def _count(
        self, part: _Image | _WideImage, method: _Methods, offset: Sequence[int]
    ) -> NDArray[np.uint64]: ...
    def _map(self, method: _Methods, counts: ArrayLike) -> _Image | _WideImage: ...
    def _maps_whole(self, shape: Sequence[int], method: _Methods) -> bool: ...
    def _whole_map(self, method: _Methods, histogram: ArrayLike) -> _Image | _WideImage: ...
    def _map_part(
        self, part: _Image | _WideImage, map: ArrayLike, offset: Sequence[int]
    ) -> _Image | _WideImage: ...
    def _local_margin(self, method: _Methods) -> tuple[int, int] | None: ...
    @property
    def _dtype(self) -> np.dtype[np.uint8] | np.dtype[np.uint16]: ...

# Pixel operations: each returns a new array.
def masked_histogram(image: _Image, mask: _Mask | None = None) -> NDArray[np.uint64]: ...
def sub_clamp(a: _Image, b: _Image, limit: int = 127) -> _Image: ...
def sub_clamp_signed(a: _Image, b: _Image) -> _Image: ...
def add_clamp(a: _Image, b: _Image) -> _Image: ...
def smooth_3x3_diamond(image: _Image) -> _Image: ...
def morph_3x3_diamond(image: _Image, dilate: bool = True) -> _Image: ...
def flood_fill(image: _Image, seed: tuple[int, int], value: int) -> _Image: ...

# Image files: uint8, or uint16 for 16-bit files, with their significant bits
# when asked for.
_FileImage: TypeAlias = NDArray[np.uint8] | NDArray[np.uint16]

@overload
def read_image(
    path: _Path, *, as_gray: bool = False, return_bits: Literal[False] = False
) -> _FileImage: ...
@overload
def read_image(
    path: _Path, *, as_gray: bool = False, return_bits: Literal[True]
) -> tuple[_FileImage, int]: ...
@overload
def read_image(
    path: _Path, *, as_gray: bool = False, return_bits: bool = False
) -> _FileImage | tuple[_FileImage, int]: ...
def write_image(path: _Path, image: _FileImage, *, bits: int | None = None) -> None: ...
