"""The Python page (docs/python.md) runs as written: its python blocks in one namespace and its
sh blocks with bash, in the order they stand, from a folder laid out like the repository's
root."""

import os
import re
import subprocess
import sys

import pytest

from conftest import SOURCE_DIR


def python_page_blocks():
    page = (SOURCE_DIR / "docs" / "python.md").read_text(encoding="utf-8")
    return re.findall(r"```(python|sh)\n(.*?)```", page, flags=re.S)


@pytest.fixture
def repository_root(tmp_path, monkeypatch):
    build = os.environ.get("ORCAN_BUILD_DIR")
    if not build:
        pytest.skip("ORCAN_BUILD_DIR not set (run the tests through CTest)")
    (tmp_path / "examples").symlink_to(SOURCE_DIR / "examples")
    (tmp_path / "build").symlink_to(build)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_python_page(root, python=sys.executable, environment=None):
    """Runs the page's sh blocks in order, then its python blocks as one program (later
    blocks use earlier names; no sh block needs what a python block makes), from root."""
    blocks = python_page_blocks()
    assert {kind for kind, _ in blocks} == {"python", "sh"}
    for code in (code for kind, code in blocks if kind == "sh"):
        run = subprocess.run(["bash", "-euo", "pipefail", "-c", code], capture_output=True,
                             text=True, timeout=240, env=environment, cwd=root)
        assert run.returncode == 0, code + run.stderr
    program = [code for kind, code in blocks if kind == "python"]
    program.append("assert r.kept_samples == 17998")
    run = subprocess.run([python, "-c", "\n".join(program)], capture_output=True, text=True,
                         timeout=240, env=environment, cwd=root)
    assert run.returncode == 0, run.stderr
    for made in ("station.jpg", "spectrum.png", "spectrum.svg", "results.csv", "results.nc",
                 "archive.sqlite", "track.nc"):
        assert (root / made).stat().st_size > 0, made


def test_python_page_examples_run(repository_root):
    build = os.environ["ORCAN_BUILD_DIR"]
    environment = dict(os.environ, PATH=os.path.join(build, "python") + os.pathsep
                       + os.environ["PATH"])
    run_python_page(repository_root, environment=environment)


def test_installed_modules_serve_python_from_the_prefix(tmp_path):
    build = os.environ.get("ORCAN_BUILD_DIR")
    if not build or not os.environ.get("CMAKE"):
        pytest.skip("run the tests through CTest")
    for component in ("Python", "EddyRate"):
        subprocess.run([os.environ["CMAKE"], "--install", build, "--prefix", str(tmp_path),
                        "--component", component], check=True, capture_output=True)
    environment = {"PATH": os.environ["PATH"],
                   "PYTHONPATH": str(tmp_path / "lib" / "python3" / "dist-packages")}
    probe = ("import eddyrate, saltmark; "
             "print(eddyrate.__file__); "
             "print(eddyrate.compute([1.0] * 600, [1.0] * 600, [1.0] * 600, [1.0] * 600).rejected)")
    run = subprocess.run([sys.executable, "-c", probe], env=environment, cwd=tmp_path,
                         capture_output=True, text=True, check=True)
    assert run.stdout.splitlines() == [
        str(tmp_path / "lib" / "python3" / "dist-packages" / "eddyrate" / "__init__.py"), "False"]
    assert (tmp_path / "bin" / "eddyrate-batch").exists()
