"""A light-source server: its 13 routes as methods taking and returning Python values."""

from __future__ import annotations

from typing import Any, Sequence

from ._device import Device


class LightSource(Device):
    """The HTTP server of one light source, found by discovery with kind "lumra".

    Methods raise LightSourceError when the light source refuses the operation, a RequestError
    subclass when the server refuses the request and ConnectionError when it cannot be reached.
    """

    server_kind = "lumra"

    def __init__(self, host: str = "127.0.0.1", port: int = 8090, timeout: float | None = 30.0) -> None:
        super().__init__(host, port, timeout)

    def get_com_port(self) -> str:
        """The serial port the light source is attached to."""
        return str(self._get_json("/v1/getComPort"))

    def get_type(self) -> str:
        """The light source's model type name."""
        return str(self._get_json("/v1/getType"))

    def get_description(self) -> dict[str, Any]:
        """Serial, port, type, name and the per-channel wavelengths, exclusivity groups and intensity limits."""
        return dict(self._get_json("/v1/getDescription"))

    def get_configuration(self) -> dict[str, list[int]]:
        """The channels' intensities and on states (0 or 1)."""
        document = self._get_json("/v1/getConfiguration")
        return _configuration(document)

    def set_configuration(
        self, intensities: Sequence[int] | None = None, on_states: Sequence[int] | None = None
    ) -> None:
        """Sets the channels' intensities and on states; a list left out keeps its current values."""
        current = self.get_configuration() if intensities is None or on_states is None else {}
        document = {
            "intensities": [int(v) for v in (intensities if intensities is not None else current["intensities"])],
            "on_states": [int(bool(v)) for v in (on_states if on_states is not None else current["on_states"])],
        }
        self._send_json("POST", "/v1/setConfiguration", document)

    def default_configuration(self) -> dict[str, list[int]]:
        """Restores the default configuration (every channel off) and returns it."""
        document = self._post("/v1/defaultConfiguration").json()
        return _configuration(document)

    def switch_on(self) -> None:
        """Switches the light source on."""
        self._post("/v1/switchOn")

    def switch_off(self) -> None:
        """Switches the light source off."""
        self._post("/v1/switchOff")

    def execute_command(self, command: str, in_val: str | int | None = None) -> str:
        """Sends a device command with an optional value and returns the device's answer."""
        value = None if in_val is None else str(in_val)
        return str(self._post("/v1/executeCommand", {"command": command, "in_val": value}).json())

    def get_versions(self, library: str | None = None) -> str:
        """The version text of the light-source library (or of the named library)."""
        return str(self._get_json("/v1/getVersions", {"library": library}))


def _configuration(document: Any) -> dict[str, list[int]]:
    return {key: [int(v) for v in document[key]] for key in ("intensities", "on_states")}
