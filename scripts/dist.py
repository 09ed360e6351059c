"""make dist: the release package, dist/qor-starter-<version>/ and its zip, checked.

The package holds QorStarter.exe, the kit (its header, sources and CMakeLists.txt, so that
add_subdirectory(kit) gives qor::launcher_kit), the sample launcher's source, the protocol
for launcher authors and SHA256SUMS over every other file. The version is the CMake
project's (CMakeLists.txt). Before it says "done" it checks the package: the sums verify
with sha256sum -c, the starter says the package's version, and a project of a launcher
author that adds the packaged kit builds the packaged sample launcher with it.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

PROJECT = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("QOR_BUILD_DIR", PROJECT / "build"))
DIST = PROJECT / "dist"
TOOLCHAIN = PROJECT / "cmake" / "mingw-w64-x86_64.cmake"

sys.path.insert(0, str(PROJECT / "tests" / "e2e"))
from pe_image import RT_VERSION, PEImage, version_strings  # noqa: E402

# Package path <- project path. The kit's sources are taken whole, whatever files it has.
CONTENTS = [
    ("QorStarter.exe", BUILD / "bin" / "QorStarter.exe"),
    ("kit/CMakeLists.txt", PROJECT / "kit" / "CMakeLists.txt"),
    ("kit/include", PROJECT / "kit" / "include"),
    ("kit/src", PROJECT / "kit" / "src"),
    ("sample/sample_launcher.cpp", PROJECT / "sample" / "sample_launcher.cpp"),
    ("protocol.md", PROJECT / "docs" / "protocol.md"),
    # The kit for other languages: the DLL, its C header, the .def for MSVC's lib and the
    # mingw-w64 import library, and each binding's package sources.
    ("bindings/c/QorLauncherKit.dll", BUILD / "bin" / "bindings" / "QorLauncherKit.dll"),
    ("bindings/c/libQorLauncherKit.dll.a", BUILD / "bin" / "bindings" / "libQorLauncherKit.dll.a"),
    ("bindings/c/qor_launcher_kit.h", PROJECT / "bindings" / "c" / "qor_launcher_kit.h"),
    ("bindings/c/QorLauncherKit.def", PROJECT / "bindings" / "c" / "QorLauncherKit.def"),
    ("bindings/c/README.md", PROJECT / "bindings" / "c" / "README.md"),
    ("bindings/rust", PROJECT / "bindings" / "rust"),
    ("bindings/go", PROJECT / "bindings" / "go"),
    ("bindings/csharp", PROJECT / "bindings" / "csharp"),
]
SUMS = "SHA256SUMS"
# Zip entries get this time and mode, so that one package always zips to the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)

# A launcher author's own project: the packaged kit by add_subdirectory, the sample on it.
CONSUMER_CMAKE = """cmake_minimum_required(VERSION 3.25)
project(launcher_author LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 20)
add_subdirectory({kit} qor_kit)
add_executable(QorLauncher {sample})
target_link_libraries(QorLauncher PRIVATE qor::launcher_kit)
target_link_options(QorLauncher PRIVATE -municode -static)
"""


def project_version():
    cache = (BUILD / "CMakeCache.txt").read_text(encoding="utf-8")
    match = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(\d+\.\d+\.\d+)$", cache, re.MULTILINE)
    if not match:
        sys.exit(f"dist: no project version in {BUILD / 'CMakeCache.txt'}; configure first")
    return match.group(1)


def lay_out(package):
    if package.exists():
        shutil.rmtree(package)
    for target, source in CONTENTS:
        destination = package / target
        destination.parent.mkdir(parents=True, exist_ok=True)
        if source.is_dir():
            shutil.copytree(source, destination, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
        else:
            shutil.copy2(source, destination)


def files_of(package):
    return sorted(p.relative_to(package).as_posix() for p in package.rglob("*") if p.is_file())


def write_sums(package):
    lines = []
    for name in files_of(package):
        digest = hashlib.sha256((package / name).read_bytes()).hexdigest()
        lines.append(f"{digest}  {name}\n")
    (package / SUMS).write_text("".join(lines), encoding="utf-8", newline="\n")


def write_zip(package, archive):
    with zipfile.ZipFile(archive, "w", compression=zipfile.ZIP_DEFLATED) as zipped:
        for name in files_of(package):
            entry = zipfile.ZipInfo(f"{package.name}/{name}", date_time=ZIP_TIME)
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            zipped.writestr(entry, (package / name).read_bytes())


def check(package, archive, version):
    subprocess.run(["sha256sum", "--quiet", "-c", SUMS], cwd=package, check=True)
    summed = [line.split("  ", 1)[1] for line in (package / SUMS).read_text().splitlines()]
    unsummed = sorted(set(files_of(package)) - set(summed) - {SUMS})
    if unsummed:
        sys.exit(f"dist: files without a sum: {unsummed}")

    image = PEImage.load(package / "QorStarter.exe")
    [resource] = [r for r in image.resources() if r.type_id == RT_VERSION]
    strings = version_strings(resource.data)
    if (strings.get("FileVersion"), strings.get("ProductVersion")) != (version, version):
        sys.exit(f"dist: QorStarter.exe says {strings}, the package is {version}")

    with zipfile.ZipFile(archive) as zipped:
        zipped_names = sorted(n.split("/", 1)[1] for n in zipped.namelist())
        if zipped_names != files_of(package) or zipped.testzip() is not None:
            sys.exit("dist: the zip does not hold the package")

    with tempfile.TemporaryDirectory(prefix="qor-kit-consumer-") as temp:
        consumer = Path(temp)
        (consumer / "CMakeLists.txt").write_text(CONSUMER_CMAKE.format(
            kit=(package / "kit").as_posix(), sample=(package / "sample" / "sample_launcher.cpp").as_posix()))
        subprocess.run(["cmake", "-S", consumer, "-B", consumer / "build", f"-DCMAKE_TOOLCHAIN_FILE={TOOLCHAIN}",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", consumer / "build", "-j2"], check=True, stdout=subprocess.DEVNULL)
        if not (consumer / "build" / "QorLauncher.exe").is_file():
            sys.exit("dist: the packaged kit did not build the sample launcher")


def main():
    version = project_version()
    package = DIST / f"qor-starter-{version}"
    archive = DIST / f"{package.name}.zip"
    lay_out(package)
    write_sums(package)
    write_zip(package, archive)
    check(package, archive, version)
    size = (package / "QorStarter.exe").stat().st_size
    print(f"{package.relative_to(PROJECT)}/ and {archive.relative_to(PROJECT)}: {len(files_of(package))} files, "
          f"QorStarter.exe {size:,} bytes; SHA256SUMS verified, the packaged kit builds the sample launcher.")


if __name__ == "__main__":
    main()
