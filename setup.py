"""Builds the engine through CMake.

The extension `_ostrel_engine` uses only the limited C API (3.9 and later),
so one build serves every later CPython: it is installed as
`_ostrel_engine.abi3.so` and wheels are tagged cp39-abi3.

Environment knobs: OSTREL_CMAKE_ARGS (extra configure arguments),
OSTREL_BUILD_JOBS (parallel build jobs, default: number of CPUs).
"""

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name: str) -> None:
        super().__init__(name, sources=[], py_limited_api=True)


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake",
            "-S", str(ROOT),
            "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DOSTREL_BUILD_TESTS=OFF",
            "-DOSTREL_BUILD_BENCH=OFF",
            "-DOSTREL_BUILD_PYTHON=ON",
        ] + shlex.split(os.environ.get("OSTREL_CMAKE_ARGS", ""))
        jobs = os.environ.get("OSTREL_BUILD_JOBS", str(os.cpu_count() or 1))
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_ostrel_engine", "-j", jobs], check=True)

        built = build_dir / "python" / "_ostrel_engine.abi3.so"
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    ext_modules=[CMakeExtension("_ostrel_engine")],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp39"}},
)
