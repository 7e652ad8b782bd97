"""nivra: quantum circuit simulation and quantum error-correction decoding.

The native core lives in :mod:`nivra._native`; this package re-exports it.
"""

from nivra import _native
from nivra._native import *  # noqa: F401,F403
from nivra._native import __version__

__all__ = [name for name in dir(_native) if not name.startswith("_")] + ["__version__"]
