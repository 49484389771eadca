"""Fixtures: the library under test, its header, and the virtual instrument."""
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import simulator  # noqa: E402

try:  # an installed package (PYTHONPATH) first, else this tree's
    import sadclink
except ImportError:
    sys.path.insert(0, str(ROOT / "python"))
    import sadclink


def pytest_report_header(config):
    try:
        where = sadclink.library()._name
    except OSError as exc:
        where = f"not loaded ({exc})"
    return [f"sadclink package: {pathlib.Path(sadclink.__file__).parent}",
            f"sadclink library: {where}",
            f"sadc-sim: {simulator.find_sim() or 'not found: the instrument tests are skipped'}"]


@pytest.fixture(scope="session")
def lib():
    return sadclink.library()


@pytest.fixture(scope="session")
def header():
    """The sadclink.h that goes with the library: $SADCLINK_HEADER or this tree's."""
    path = pathlib.Path(os.environ.get("SADCLINK_HEADER", ROOT / "include" / "sadclink.h"))
    if not path.exists():
        pytest.skip(f"no sadclink.h at {path} (set SADCLINK_HEADER)")
    return path


@pytest.fixture
def no_ports(tmp_path, monkeypatch):
    """An empty ports folder: every COMn is missing."""
    monkeypatch.setenv("SADCLINK_PORTS", str(tmp_path))
    return tmp_path


@pytest.fixture(scope="module")
def sim():
    if not simulator.find_sim():
        pytest.skip("sadc-sim, the virtual instrument, is not built here "
                    "(set SADCLINK_SIM or put sadc-sim on PATH)")
    with simulator.Simulator() as running:
        saved = os.environ.get("SADCLINK_PORTS")
        os.environ["SADCLINK_PORTS"] = running.ports_dir
        try:
            yield running
        finally:
            if saved is None:
                os.environ.pop("SADCLINK_PORTS", None)
            else:
                os.environ["SADCLINK_PORTS"] = saved
