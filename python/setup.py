"""Builds the extension module tarnwick_wikitext._core.

The core library is built by the project's own CMake files (it compiles the
parser once per x86-64 instruction set with per-build definitions, which
setuptools cannot express) and linked statically, so the installed module
needs no shared library of the project. pip builds a local directory in
place, so the repository around this folder is reachable; nothing is
downloaded.
"""

import os
import re
import shutil
import subprocess
from pathlib import Path

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def project_version():
    """The version of the CMake project, so that the package and the library agree."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*tarnwick-wikitext-core\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("no project version in CMakeLists.txt")
    return match.group(1)


class build_with_cmake(build_ext):
    """Builds the core's static library with CMake, then the extension against it."""

    def run(self):
        if not (ROOT / "include" / "wtcore.h").is_file():
            raise RuntimeError(f"{ROOT} does not hold the library's sources: build from the repository")
        cmake = shutil.which("cmake")
        if not cmake:
            raise RuntimeError("cmake not found (Debian: cmake)")
        build_dir = Path(self.build_temp).resolve() / "core"
        config = [
            cmake, "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DWTCORE_BUILD_TESTS=OFF",
            "-DWTCORE_BUILD_CLI=OFF",
            "-DWTCORE_WERROR=OFF",
        ]
        jobs = str(os.cpu_count() or 2)
        subprocess.run(config, check=True)
        subprocess.run([cmake, "--build", str(build_dir), "--target", "tarnwick-wikitext-core-static",
                        "--parallel", jobs], check=True)
        core_lib = str(build_dir / "libtarnwick-wikitext-core.a")
        for ext in self.extensions:
            ext.extra_objects = [core_lib] + ext.extra_objects
            ext.depends = ext.depends + [core_lib]  # relink when the library changed
        super().run()


core = Pybind11Extension(
    "tarnwick_wikitext._core",
    sources=["src/module.cpp"],
    include_dirs=[str(ROOT / "include")],
    cxx_std=20,
    # The library's symbols stay inside the module.
    extra_link_args=["-Wl,--exclude-libs,ALL"],
)

setup(
    version=project_version(),
    ext_modules=[core],
    cmdclass={"build_ext": build_with_cmake},
    zip_safe=False,
)
