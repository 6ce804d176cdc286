"""Client for the qor camera server and its light-source server.

    >>> import qorcam
    >>> cam = qorcam.Camera.find()          # or qorcam.Camera("lab-pc", 8080)
    >>> cam.record(10)
    >>> pixels = cam.image(0).pixels        # a NumPy array of shape (height, width)
"""

from .camera import Camera, Crop
from .claim import Claim
from .discovery import ServerEntry, discover
from .errors import (
    BadRequestError,
    CameraError,
    ConflictError,
    ConnectionError,
    DeviceError,
    DeviceNotFoundError,
    ImageFormatError,
    LightSourceError,
    MissingDependencyError,
    NotFoundError,
    QorError,
    RequestError,
    ServerError,
)
from .image import DATA_FORMATS, Image
from .lightsource import LightSource

__version__ = "0.1.0"

__all__ = [
    "BadRequestError",
    "Camera",
    "CameraError",
    "Claim",
    "ConflictError",
    "ConnectionError",
    "Crop",
    "DATA_FORMATS",
    "DeviceError",
    "DeviceNotFoundError",
    "Image",
    "ImageFormatError",
    "LightSource",
    "LightSourceError",
    "MissingDependencyError",
    "NotFoundError",
    "QorError",
    "RequestError",
    "ServerEntry",
    "ServerError",
    "discover",
]
