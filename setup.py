"""Builds the two extension modules through the project's CMake, so that the wheel's modules
are the very ones the tests run. Offline: CMake finds Debian's pybind11 and the interpreter
that runs this build.

Environment: ORCAN_CMAKE_BUILD_DIR keeps the CMake build in a folder of one's choosing (a
second install then rebuilds nothing); CMAKE_BUILD_PARALLEL_LEVEL as for any CMake build.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
VERSION = re.search(r"project\(Orcan VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text()).group(1)

# Extension name -> (CMake target, where CMake puts it under the build's python folder).
MODULES = {
    "eddyrate._eddyrate": ("eddyrate_python", "eddyrate"),
    "saltmark._saltmark": ("saltmark_python", "saltmark"),
}


class CMakeBuild(build_ext):
    def build_extensions(self):
        build = pathlib.Path(os.environ.get("ORCAN_CMAKE_BUILD_DIR")
                             or pathlib.Path(self.build_temp) / "cmake").resolve()
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            # The wheel carries the library inside its module, not beside it.
            "-DORCAN_PYTHON_SELF_CONTAINED=ON",
            "-DBUILD_TESTING=OFF", "-DORCAN_BUILD_APP=OFF", "-DORCAN_BUILD_BENCH=OFF"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        if shutil.which("ccache"):
            configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                          "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        if not (build / "CMakeCache.txt").exists():
            subprocess.run(configure, check=True)
        targets = [target for target, _ in MODULES.values()]
        subprocess.run(["cmake", "--build", str(build), "--target", *targets], check=True)
        for extension in self.extensions:
            _, folder = MODULES[extension.name]
            stem = extension.name.rsplit(".", 1)[1]
            built = [path for path in (build / "python" / folder).glob(stem + ".*")
                     if path.suffix in (".so", ".pyd")]
            if len(built) != 1:
                raise RuntimeError(f"CMake built {len(built)} files for {extension.name}")
            target = pathlib.Path(self.get_ext_fullpath(extension.name))
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(built[0], target)


setup(version=VERSION,
      ext_modules=[Extension(name, sources=[]) for name in MODULES],
      cmdclass={"build_ext": CMakeBuild})
