"""pip install of the Python module vantu, built by the project's own CMake build.

    python3 -m venv --system-site-packages env      # numpy, pandas from Debian
    env/bin/pip install --no-build-isolation ./python

The extension is the target vantu_python of the top folder's CMakeLists.txt,
configured and built in setuptools' temporary folder, then copied beside
vantu/__init__.py. --no-build-isolation keeps pip from fetching setuptools:
the build needs only Debian's python3-setuptools, python3-dev, pybind11-dev
and the C++ libraries of the README.
"""

import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        os.makedirs(build, exist_ok=True)
        subprocess.run(["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DVANTU_TESTS=OFF",
                        "-DPython3_EXECUTABLE=" + sys.executable], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", build, "--target", "vantu_python", "-j", jobs], check=True)
        built = glob.glob(os.path.join(build, "python", "vantu", "_vantu*.so"))
        if not built:
            raise RuntimeError("the CMake build made no vantu extension (are python3-dev and pybind11-dev there?)")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    name="vantu",
    version="0.3.0",
    description="Tracking dividing bacteria through microscope time-lapses",
    packages=["vantu"],
    ext_modules=[Extension("vantu._vantu", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy", "pandas"],
    python_requires=">=3.8",
    zip_safe=False,
)
