"""nivra: quantum circuit simulation and quantum error-correction decoding.

The native core lives in :mod:`nivra._native`; this package re-exports it.
Decoders live in :mod:`nivra.qec`.
"""

from nivra import _native
from nivra._native import *  # noqa: F401,F403
from nivra._native import __version__

__all__ = [name for name in dir(_native) if not name.startswith("_") and name != "qec"] + ["__version__"]

# Bind `nivra.qec` to the package module, so `nivra.qec` and `import nivra.qec`
# agree. `from nivra import qec` would not do: it finds the native submodule
# that the star import above set as an attribute and imports nothing.
import nivra.qec as qec  # noqa: E402
