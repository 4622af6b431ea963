"""Builds the wheel's compiled module with the project's own CMake build.

The version is the CMake project's, the one number the project declares.
IMGNORM_BUILD_DIR names the CMake build folder (default build/wheel); a
folder already built for this interpreter is reused as it stands.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    cmake_lists = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(imgnorm VERSION ([0-9.]+)", cmake_lists).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(os.environ.get("IMGNORM_BUILD_DIR", ROOT / "build" / "wheel")).resolve()
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), f"-DPython3_EXECUTABLE={sys.executable}"]
        if not (build / "CMakeCache.txt").exists():
            configure += ["-DCMAKE_BUILD_TYPE=Release", "-DIMGNORM_BUILD_PYTHON=ON", "-DIMGNORM_BUILD_TESTS=OFF"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "imgnorm_py", "-j", str(os.cpu_count() or 1)],
                       check=True)
        module = Path(self.get_ext_fullpath(ext.name))
        built = build / "python" / "site" / "imgnorm" / module.name
        module.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(built, module)


setup(
    version=project_version(),
    ext_modules=[Extension("imgnorm._imgnorm", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
