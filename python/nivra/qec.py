"""Quantum error-correction decoding.

Detector error models in the stim DEM text format, and decoders built from
them by name (see :func:`decoder_names`) that map detector samples to
predicted flips of the logical observables::

    from nivra.qec import DetectorErrorModel, Decoder

    dem = DetectorErrorModel.from_file("memory.dem")
    decoder = Decoder(dem, "mwpm")
    predictions = decoder.decode_batch(detector_samples)  # [shots, num_observables] bool
"""

from nivra._native import qec as _qec

DetectorErrorModel = _qec.DetectorErrorModel
Decoder = _qec.Decoder
decoder_names = _qec.decoder_names

__all__ = ["DetectorErrorModel", "Decoder", "decoder_names"]
