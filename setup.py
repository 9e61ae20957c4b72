# SPDX-License-Identifier: BSD-3-Clause
"""Builds the Python package: the shared library is built with CMake (tests
off) and copied into the package, which loads it before any other copy.

The version is the project version of CMakeLists.txt, the one source of the
library's version."""
import os
import pathlib
import platform
import re
import shutil
import subprocess

from setuptools import Distribution, Extension, setup
from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

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


def extension():
    """corx._ext, the package's compiled hot path (python/corx/_ext.c). It
    includes the library's public header for the types and calls the
    library the package loads (no link against libcorx). Optional: without
    Python's headers the package is installed on its ctypes path alone
    (CI's installed-package tests require the module)."""
    import numpy
    return Extension("corx._ext", sources=["python/corx/_ext.c"],
                     include_dirs=["include", numpy.get_include()], optional=True)


class BinaryDistribution(Distribution):
    """The wheel holds a compiled library: it is tied to the platform."""

    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    """The wheel's tag says what it needs: this interpreter's ABI (the
    extension module is built against it) on Linux for this processor with
    glibc 2.35 or newer, the oldest the library loads on
    (tests/check_exports.sh checks its newest GLIBC symbol version)."""

    GLIBC = (2, 35)

    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = False  # platlib: the library is a binary

    def get_tag(self):
        python, abi, _ = super().get_tag()
        return python, abi, "manylinux_{}_{}_{}".format(*self.GLIBC, platform.machine())


setup(
    version=project_version(),
    cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel},
    distclass=BinaryDistribution,
    ext_modules=[extension()],
    options={"build": {"build_base": "build-python"}},
)
