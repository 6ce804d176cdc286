"""The package installs offline into a virtual environment that sees Debian's packages."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

from servers import REPO


def test_offline_install_into_a_virtual_environment(tmp_path: Path) -> None:
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=120)
    # A copy of the source, so that the build leaves nothing in the repository.
    source = tmp_path / "src"
    subprocess.run(["cp", "-r", str(REPO / "clients" / "python"), str(source)], check=True)
    install = subprocess.run(
        [str(venv / "bin" / "pip"), "install", "--no-build-isolation", "--no-index", "--no-cache-dir", str(source)],
        capture_output=True, text=True, timeout=300,
    )
    assert install.returncode == 0, install.stdout + install.stderr

    outside = {"cwd": tmp_path, "capture_output": True, "text": True, "timeout": 60}
    help_text = subprocess.run([str(venv / "bin" / "qorcam"), "--help"], **outside)  # type: ignore[call-overload]
    assert help_text.returncode == 0 and "discover" in help_text.stdout
    probe = subprocess.run(  # type: ignore[call-overload]
        [str(venv / "bin" / "python"), "-c",
         "import qorcam, numpy, pathlib; print(qorcam.__file__); "
         "print((pathlib.Path(qorcam.__file__).parent / 'py.typed').exists())"],
        **outside,
    )
    assert probe.returncode == 0, probe.stderr
    location, typed = probe.stdout.split()
    assert str(venv) in location and typed == "True"  # the installed copy, with its type marker
