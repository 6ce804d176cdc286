"""Every core route of the API reference has its client method, named as the route in snake_case."""

from __future__ import annotations

import re

import contract
import pytest

from qorcam import Camera, LightSource

ROUTE_METHODS = ("get", "post", "put", "delete", "patch")


def core_routes(kind: str) -> set[str]:
    """The route names ("getName") of the documented operations that belong to no extension."""
    paths = contract.load_document(kind)["paths"]
    return {path.removeprefix("/v1/") for path, item in paths.items()
            for method, op in item.items() if method in ROUTE_METHODS and op.get("x-extension") is None}


def snake_case(route: str) -> str:
    words = re.sub(r"([a-z0-9])([A-Z])", r"\1_\2", route)
    return re.sub(r"([A-Z]+)([A-Z][a-z])", r"\1_\2", words).lower()


@pytest.mark.parametrize("cls, kind, count", [(Camera, "camera", 49), (LightSource, "lumra", 13)])
def test_every_core_route_has_its_method(cls: type, kind: str, count: int) -> None:
    routes = core_routes(kind)
    assert len(routes) == count
    missing = sorted(route for route in routes if not callable(getattr(cls, snake_case(route), None)))
    assert missing == []
