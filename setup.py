"""Builds the extension murel._core with the project's CMake for the interpreter running pip."""
import os
import pathlib
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        source = pathlib.Path(__file__).parent.resolve()
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "-S", str(source), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython3_EXECUTABLE={sys.executable}", "-DMUREL_PYTHON=ON",
                        "-DMUREL_BUILD_TESTS=OFF", "-DMUREL_BUILD_BENCH=OFF"], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "murel_python", "-j", jobs], check=True)
        built = next((build / "python" / "murel").glob("_core*.so"))
        target.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built), self.get_ext_fullpath(ext.name))


setup(ext_modules=[Extension("murel._core", sources=[])], cmdclass={"build_ext": CMakeBuild})
