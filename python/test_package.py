"""pip installs the package into a fresh virtual environment, offline, and the Python page's
examples (docs/python.md) run there from outside the source tree."""

import os
import subprocess
import sys

import pytest

from conftest import SOURCE_DIR
from test_python_page import run_python_page


def test_pip_installs_a_package_that_runs_the_python_page_outside_the_tree(tmp_path):
    build = os.environ.get("ORCAN_BUILD_DIR")
    if not build:
        pytest.skip("ORCAN_BUILD_DIR not set (run the tests through CTest)")
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("PYTHONPATH", "PYTHONHOME")}
    venv = tmp_path / "v"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)],
                   check=True)
    # The package takes the modules of the build tree's CMake build, already built, instead of
    # compiling the whole library again (the wheel builds its own, with the library inside).
    environment["ORCAN_CMAKE_BUILD_DIR"] = build
    install = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-build-isolation",
                              "--no-index", "--no-deps", "-q", str(SOURCE_DIR)],
                             capture_output=True, text=True, env=environment, timeout=900)
    assert install.returncode == 0, install.stdout + install.stderr

    root = tmp_path / "elsewhere"
    root.mkdir()
    (root / "examples").symlink_to(SOURCE_DIR / "examples")
    (root / "build").symlink_to(build)
    environment["PATH"] = str(venv / "bin") + os.pathsep + environment["PATH"]
    python = str(venv / "bin" / "python")
    where = subprocess.run([python, "-c", "import eddyrate, saltmark; print(eddyrate.__file__);"
                            " print(saltmark.__file__); print(eddyrate.__version__)"],
                           capture_output=True, text=True, check=True, cwd=root,
                           env=environment).stdout.split()
    assert all(path.startswith(str(venv)) for path in where[:2]), where
    assert where[2] == saltmark_version(python, root, environment)
    run_python_page(root, python=python, environment=environment)
    assert (venv / "bin" / "eddyrate-batch").exists()


def saltmark_version(python, root, environment):
    return subprocess.run([python, "-c", "import saltmark; print(saltmark.__version__)"],
                          capture_output=True, text=True, check=True, cwd=root,
                          env=environment).stdout.strip()
