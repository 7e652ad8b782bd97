"""A tour of nivra: build a circuit, run it on each backend, decode a syndrome batch."""

import nivra

print("nivra", nivra.__version__)
