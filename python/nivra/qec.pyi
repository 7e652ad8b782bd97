"""Quantum error-correction decoding: detector error models and decoders."""

import os
from typing import final

import numpy as np
import numpy.typing as npt

__all__ = ["DetectorErrorModel", "Decoder", "decoder_names"]

@final
class DetectorErrorModel:
    """A stim-format Detector Error Model (`repeat`/`shift_detectors`/`^` supported)."""

    def __new__(cls, model: str) -> DetectorErrorModel: ...
    @staticmethod
    def from_file(path: str | os.PathLike[str]) -> DetectorErrorModel:
        """Read and parse a `.dem` file."""

    def to_dem_string(self) -> str:
        """The flat model as DEM text (`repeat` blocks unrolled)."""

    @property
    def num_errors(self) -> int: ...
    @property
    def num_detectors(self) -> int: ...
    @property
    def num_observables(self) -> int: ...

@final
class Decoder:
    """A decoder built once for a DEM and reused across shots."""

    def __new__(cls, dem: DetectorErrorModel, name: str, **params: int | float) -> Decoder: ...
    @property
    def name(self) -> str: ...
    def decode(self, dets: npt.NDArray[np.bool_] | npt.NDArray[np.uint8]) -> npt.NDArray[np.bool_]:
        """Decode one shot: `[num_detectors]` bool/uint8 -> `[num_observables]` bool."""

    def decode_batch(self, dets: npt.NDArray[np.bool_] | npt.NDArray[np.uint8]) -> npt.NDArray[np.bool_]:
        """Decode `[shots, num_detectors]` bool/uint8 -> `[shots, num_observables]` bool (GIL released)."""

    def decode_batch_bit_packed(self, packed: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
        """stim b8 rows `[shots, ceil(D/8)]` uint8 -> packed predictions `[shots, ceil(O/8)]` uint8."""

def decoder_names() -> list[str]:
    """Names accepted by `Decoder(dem, name)`."""
