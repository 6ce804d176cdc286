"""Optional packages (NumPy, tifffile, tqdm): imported on first use, with a message naming the Debian package."""

from __future__ import annotations

import importlib
from types import ModuleType

from .errors import MissingDependencyError

_DEBIAN_PACKAGES = {"numpy": "python3-numpy", "tifffile": "python3-tifffile", "tqdm": "python3-tqdm"}


def optional(module: str) -> ModuleType | None:
    """The module when it is installed, else None."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None


def require(module: str, feature: str) -> ModuleType:
    """The module; raises MissingDependencyError naming the Debian package when it is not installed."""
    found = optional(module)
    if found is None:
        package = _DEBIAN_PACKAGES.get(module, module)
        raise MissingDependencyError(f"{feature} needs {module}: install {package} (apt-get install {package})")
    return found
