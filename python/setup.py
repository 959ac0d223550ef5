"""Builds the extension module tarnwick_wikitext._core.

The core library (and the dump reader, when the tree has it) is built by the
project's own CMake files (it compiles the
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
        targets = ["tarnwick-wikitext-core-static"]
        # The dump reader, when the tree has it: CMake configures it only when
        # expat, libbz2 and zlib are there.
        with_dump = (ROOT / "dump" / "CMakeLists.txt").is_file() and not os.environ.get("TARNWICK_WIKITEXT_NO_DUMP")
        if with_dump:
            if not (build_dir / "dump").is_dir():
                raise RuntimeError("the dump reader needs expat, libbz2 and zlib (Debian: libexpat1-dev "
                                   "libbz2-dev zlib1g-dev); TARNWICK_WIKITEXT_NO_DUMP=1 builds without it")
            targets.append("tarnwick-dump")
        subprocess.run([cmake, "--build", str(build_dir), "--parallel", jobs, "--target", *targets], check=True)
        core_lib = str(build_dir / "libtarnwick-wikitext-core.a")
        for ext in self.extensions:
            if with_dump:
                dump_lib = str(build_dir / "dump" / "libtarnwick-dump.a")
                ext.sources = ext.sources + ["src/dump.cpp"]
                ext.define_macros = ext.define_macros + [("WT_HAVE_DUMP", "1")]
                ext.include_dirs = ext.include_dirs + [str(ROOT / "dump" / "include")]
                ext.extra_objects = [dump_lib] + ext.extra_objects
                ext.libraries = ext.libraries + ["expat", "bz2", "z"]
                ext.depends = ext.depends + [dump_lib, "src/dump.cpp"]
            ext.extra_objects = ext.extra_objects + [core_lib]
            ext.depends = ext.depends + [core_lib, "src/bindings.h"]  # relink when a library changed
        super().run()


core = Pybind11Extension(
    "tarnwick_wikitext._core",
    sources=["src/module.cpp", "src/render_pool.cpp"],
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
