"""Builds the extension zemb._zemb with the project's CMake build, and puts
the FFmpeg module (which reads videos) beside it in the package."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = Path(__file__).resolve().parent.parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DZEMB_TESTS=OFF", f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "zemb_python", "-j", jobs],
                       check=True)
        built = build / "python" / "zemb"
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        target.parent.mkdir(parents=True, exist_ok=True)
        extension = next(built.glob("_zemb*.so"), None)
        if extension is None:
            sys.exit(f"zemb: {built}: the extension was not built (is pybind11 installed "
                     f"for {sys.executable}?)")
        shutil.copy2(extension, target)
        ffmpeg = built / "zemb-ffmpeg.so"
        if ffmpeg.exists():
            shutil.copy2(ffmpeg, target.parent / ffmpeg.name)


setup(ext_modules=[Extension("zemb._zemb", sources=[])], cmdclass={"build_ext": CMakeBuild})
