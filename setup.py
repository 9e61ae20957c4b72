# SPDX-License-Identifier: BSD-3-Clause
"""Builds the Python package: the shared library is built with CMake (tests
off) and copied into the package, which loads it before any other copy.

The version is the project version of CMakeLists.txt, the one source of the
library's version."""
import os
import pathlib
import re
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    m = re.search(r"^project\(corx VERSION (\d+\.\d+\.\d+)", text, re.M)
    if not m:
        raise RuntimeError("no project(corx VERSION x.y.z) in CMakeLists.txt")
    return m.group(1)


class BuildWithLibrary(build_py):
    """build_py, then the library built by CMake into the package."""

    def run(self):
        super().run()
        build_dir = pathlib.Path(self.get_finalized_command("build").build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir),
                     "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.check_call(configure)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "corx", "-j", jobs])
        target = pathlib.Path(self.build_lib) / "corx" / "libcorx.so.1"
        # The real file, under the SONAME the package loads.
        shutil.copyfile(build_dir / "libcorx.so.1", target)


class BinaryDistribution(Distribution):
    """The wheel holds a compiled library: it is tied to the platform."""

    def has_ext_modules(self):
        return True


setup(
    version=project_version(),
    cmdclass={"build_py": BuildWithLibrary},
    distclass=BinaryDistribution,
    options={"build": {"build_base": "build-python"}},
)
