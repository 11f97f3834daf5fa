"""The installed distribution's version (the package ships inside knotwell_rs's)."""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("knotwell_rs")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"
