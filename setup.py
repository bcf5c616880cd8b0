"""Builds the Python package `velmora` with CMake, for pip (see pyproject.toml and the README).

The wheel holds what `cmake --install` would put below a prefix for the package: the package directory in
the interpreter's package directory, and the shared libraries it links in <prefix>/lib, where the modules'
install rpath finds them (a venv's lib/, or ~/.local/lib for a user install).

VELMORA_CMAKE_BUILD_DIR names an existing CMake build tree to take the package from instead of configuring
and building one in build/pip; it must have been configured with the Python modules.
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Distribution, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as cmakelists:
        return re.search(r"project\(velmora-backtest VERSION ([0-9.]+)", cmakelists.read()).group(1)


def run(*command):
    print(" ".join(command), flush=True)
    subprocess.run(command, check=True)


class BuildWithCMake(build_ext):
    """Builds (or reuses) a CMake tree, installs it into a staging prefix, and takes the package and the
    shared libraries from there."""

    def run(self):
        build_dir = os.environ.get("VELMORA_CMAKE_BUILD_DIR")
        if not build_dir:
            build_dir = os.path.join(HERE, "build", "pip")
            run("cmake", "-S", HERE, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                "-DPython3_EXECUTABLE=" + sys.executable, "-DVELMORA_BUILD_TESTS=OFF", "-DVELMORA_BUILD_BENCH=OFF",
                "-DVELMORA_BUILD_TOOLS=OFF")
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        run("cmake", "--build", build_dir, "--target", "velmora_python", "-j", jobs)

        prefix = os.path.abspath(os.path.join(self.build_temp, "velmora-prefix"))
        shutil.rmtree(prefix, ignore_errors=True)
        run("cmake", "--install", build_dir, "--prefix", prefix)

        packages = [os.path.join(root, "velmora") for root, dirs, _ in os.walk(prefix) if "velmora" in dirs
                    and os.path.exists(os.path.join(root, "velmora", "__init__.py"))]
        if len(packages) != 1:
            raise RuntimeError("the CMake install holds no single velmora package: " + repr(packages))
        target = os.path.join(self.build_lib, "velmora")
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(packages[0], target, ignore=shutil.ignore_patterns("__pycache__"))

        # The libraries under the names the modules ask for (their sonames, lib*.so.N), one file each.
        libdir = os.path.join(prefix, "lib")
        staged = os.path.abspath(os.path.join(self.build_temp, "velmora-libs"))
        shutil.rmtree(staged, ignore_errors=True)
        os.makedirs(staged)
        for name in sorted(os.listdir(libdir)):
            if re.fullmatch(r"lib.+\.so\.[0-9]+", name):
                shutil.copyfile(os.path.join(libdir, name), os.path.join(staged, name))
        self.distribution.data_files = [
            ("lib", [os.path.relpath(os.path.join(staged, name), HERE) for name in sorted(os.listdir(staged))])]


class BinaryDistribution(Distribution):
    """The package holds extension modules: its wheel is for this platform and interpreter only, and the
    build runs build_ext, which is where CMake does its work."""

    def has_ext_modules(self):
        return True


setup(
    name="velmora",
    version=project_version(),
    description="Prepared market data for the velmora backtester (C++ library with Python bindings)",
    python_requires=">=3.9",
    install_requires=["numpy", "pandas"],
    packages=[],
    cmdclass={"build_ext": BuildWithCMake},
    distclass=BinaryDistribution,
    zip_safe=False,
)
