"""Shared fixtures of the Python tests. CTest sets the environment: PYTHONPATH to the built
modules, ORCAN_SOURCE_DIR, and the paths of the library and the tools."""

import os
import pathlib

import numpy as np
import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("ORCAN_SOURCE_DIR", pathlib.Path(__file__).parents[1]))
BUNDLED_BURST = SOURCE_DIR / "examples" / "burst-30min-10hz.csv"


def tool(name):
    path = os.environ.get(name)
    if not path:
        pytest.skip(f"{name} not set (run the tests through CTest)")
    return path


def load_burst(path=BUNDLED_BURST):
    """u, v, w, T of a burst CSV as four contiguous arrays."""
    table = np.loadtxt(path, delimiter=",", comments="#", skiprows=2)
    return tuple(np.ascontiguousarray(column) for column in table.T)


@pytest.fixture(scope="session")
def bundled_burst():
    return load_burst()
