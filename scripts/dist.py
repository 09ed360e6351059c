"""make dist: the release package, dist/qor-starter-<version>/ and its zip, checked.

The package stands alone for a launcher author: QorStarter.exe and QorRoot.exe, the kit
(its header, sources and CMakeLists.txt, so that add_subdirectory(kit) gives
qor::launcher_kit), the sample launcher with its own CMake file, a mingw-w64 toolchain
file, the protocol, a README, the licence, the change log and SHA256SUMS over every other
file; dist/SHA256SUMS beside the zip covers the zip itself. The version is the CMake
project's (CMakeLists.txt). Before it says "done" it checks the package as a newcomer
would meet it: the sums verify with sha256sum -c, the starter says the package's version,
the Node binding's README links only to files the package has and installs the tarball the
package carries, and in an empty folder
holding nothing but the unzipped package the sample builds with the package's own files and
flags, and imports only DLLs that every Windows has.

The Node binding is there twice: as its folder (bindings/node) and as the npm tarball packed
from that folder (bindings/node/qor-launcher-kit-<version>.tgz), which plain `npm install`
installs with its dependencies on any system. `dist.py --node-binding <new folder>` lays out
the Node binding alone as the package holds it, for the build to install with npm and build
the Node launcher with.
"""

import hashlib
import json
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
# make dist writes dist/ in the project; the test of the package, a folder of the build.
DIST = Path(os.environ.get("QOR_DIST_DIR", PROJECT / "dist"))

sys.path.insert(0, str(PROJECT / "tests" / "e2e"))
from pe_image import RT_VERSION, PEImage, version_strings  # noqa: E402

# Package path <- project path. The kit's sources are taken whole, whatever files it has.
CONTENTS = [
    ("QorStarter.exe", BUILD / "bin" / "QorStarter.exe"),
    ("kit/CMakeLists.txt", PROJECT / "kit" / "CMakeLists.txt"),
    ("kit/include", PROJECT / "kit" / "include"),
    ("kit/src", PROJECT / "kit" / "src"),
    ("sample/CMakeLists.txt", PROJECT / "sample" / "CMakeLists.txt"),
    ("sample/sample_launcher.cpp", PROJECT / "sample" / "sample_launcher.cpp"),
    ("mingw-w64-x86_64.cmake", PROJECT / "package" / "mingw-w64-x86_64.cmake"),
    ("QorRoot.exe", BUILD / "bin" / "QorRoot.exe"),
    ("protocol.md", PROJECT / "docs" / "protocol.md"),
    ("README.md", PROJECT / "package" / "README.md"),
    ("CHANGELOG.md", PROJECT / "package" / "CHANGELOG.md"),
    ("LICENSE", PROJECT / "LICENSE"),
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
    ("bindings/node", PROJECT / "bindings" / "node"),
    # Beside the Node binding's build command, which lays it into every version folder, and
    # which npm installs with the binding.
    ("bindings/node/QorLauncherKit.dll", BUILD / "bin" / "bindings" / "QorLauncherKit.dll"),
]
SUMS = "SHA256SUMS"
# Zip entries get this time and mode, so that one package always zips to the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)

# What a clean Windows has: an import of anything else (libstdc++-6.dll, libgcc_s_seh-1.dll,
# libwinpthread-1.dll of a build without -static) stops a launcher from starting.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "bcrypt.dll", "msvcrt.dll", "shell32.dll",
               "ole32.dll", "ws2_32.dll", "ntdll.dll", "gdi32.dll", "version.dll", "shlwapi.dll", "winhttp.dll"}
BUILT_IN_PACKAGE = ["QorStarter.exe", "QorRoot.exe"]


def project_version():
    cache = (BUILD / "CMakeCache.txt").read_text(encoding="utf-8")
    match = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(\d+\.\d+\.\d+)$", cache, re.MULTILINE)
    if not match:
        sys.exit(f"dist: no project version in {BUILD / 'CMakeCache.txt'}; configure first")
    return match.group(1)


# The Node binding as the package holds it, with the files its README points to.
NODE_BINDING_FOLDER = "bindings/node"
NODE_BINDING = [NODE_BINDING_FOLDER, "bindings/node/QorLauncherKit.dll", "bindings/c/qor_launcher_kit.h", "protocol.md"]


def lay_out(package, only=None):
    if package.exists():
        shutil.rmtree(package)
    for target, source in CONTENTS:
        if only is not None and target not in only:
            continue
        destination = package / target
        destination.parent.mkdir(parents=True, exist_ok=True)
        if source.is_dir():
            # A binding someone tried out in place keeps its node_modules out of the package.
            # A tarball packed there by hand would stand beside the one packed here.
            shutil.copytree(source, destination,
                            ignore=shutil.ignore_patterns("__pycache__", "*.pyc", "node_modules", "*.tgz"))
        else:
            shutil.copy2(source, destination)
    if only is None or NODE_BINDING_FOLDER in only:
        pack_node_binding(package / NODE_BINDING_FOLDER)


def pack_node_binding(folder):
    """npm pack of the laid-out binding, into that folder. npm fixes the entries' times and
    order but keeps each file's mode, so the modes are fixed first and the tarball's bytes
    depend only on the files' contents (and on npm's version)."""
    for file in folder.rglob("*"):
        if file.is_file():
            file.chmod(0o644)
    try:
        packed = subprocess.run(["npm", "pack", "--json", "--ignore-scripts", "--pack-destination", "."], cwd=folder,
                                check=True, capture_output=True, text=True).stdout
    except FileNotFoundError:
        sys.exit("dist: npm is needed to pack the Node binding")
    except subprocess.CalledProcessError as failure:
        sys.exit(f"dist: npm pack of {folder} failed: {failure.stderr.strip()}")
    tarball = folder / json.loads(packed)[0]["filename"]
    readme = (folder / "README.md").read_text(encoding="utf-8")
    if f"npm install <package>/{NODE_BINDING_FOLDER}/{tarball.name}\n" not in readme:
        sys.exit(f"dist: {NODE_BINDING_FOLDER}/README.md does not install {tarball.name}, the tarball packed")
    return tarball


def check_links(package, readme):
    """Every relative link of a README in the package names a file the package has."""
    text = (package / readme).read_text(encoding="utf-8")
    for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
        if "://" in target:
            continue
        linked = ((package / readme).parent / target).resolve()
        if not linked.is_relative_to(package.resolve()) or not linked.exists():
            sys.exit(f"dist: {readme} links to {target}, which the package does not have")


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
    check_links(package, "bindings/node/README.md")
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

    # As a newcomer: an empty folder, the zip unpacked into it, the sample built with the
    # package's own CMake files and toolchain file, nothing of this project's.
    with tempfile.TemporaryDirectory(prefix="qor-newcomer-") as temp:
        folder = Path(temp)
        with zipfile.ZipFile(archive) as zipped:
            zipped.extractall(folder)
        unpacked = folder / package.name
        build = folder / "build"
        quiet = {"check": True, "stdout": subprocess.DEVNULL}
        subprocess.run(["cmake", "-S", unpacked / "sample", "-B", build,
                        f"-DCMAKE_TOOLCHAIN_FILE={unpacked / 'mingw-w64-x86_64.cmake'}",
                        "-DCMAKE_BUILD_TYPE=Release"], **quiet)
        subprocess.run(["cmake", "--build", build, "-j2"], **quiet)
        launcher = build / "QorLauncher.exe"
        if not launcher.is_file():
            sys.exit("dist: the package's sample did not build from the package alone")
        for program in [launcher] + [package / name for name in BUILT_IN_PACKAGE]:
            foreign = sorted(set(imported_dlls(program)) - SYSTEM_DLLS)
            foreign = [dll for dll in foreign if not dll.startswith(("api-ms-win-", "ext-ms-win-"))]
            if foreign:
                sys.exit(f"dist: {program.name} imports {foreign}, which a clean Windows does not have")


def imported_dlls(program):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", program], check=True, capture_output=True,
                          text=True).stdout
    return [name.lower() for name in re.findall(r"^\s*DLL Name: (\S+)$", dump, re.MULTILINE)]


def write_zip_sums(archive):
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    (archive.parent / SUMS).write_text(f"{digest}  {archive.name}\n", encoding="utf-8", newline="\n")
    subprocess.run(["sha256sum", "--quiet", "-c", SUMS], cwd=archive.parent, check=True)


def lay_out_node_binding(folder):
    """The package's Node binding alone, laid out as in the package, for a build to install it
    with npm. The folder must not exist yet: nothing a caller named by mistake is replaced."""
    if folder.exists() or folder.is_symlink():
        sys.exit(f"dist: {folder} exists; the Node binding is laid out in a new folder only")
    lay_out(folder, only=NODE_BINDING)
    check_links(folder, "bindings/node/README.md")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--node-binding":
        lay_out_node_binding(Path(sys.argv[2]))
        return
    version = project_version()
    package = DIST / f"qor-starter-{version}"
    archive = DIST / f"{package.name}.zip"
    lay_out(package)
    write_sums(package)
    write_zip(package, archive)
    check(package, archive, version)
    write_zip_sums(archive)
    size = (package / "QorStarter.exe").stat().st_size
    print(f"{package.relative_to(PROJECT)}/ and {archive.relative_to(PROJECT)}: {len(files_of(package))} files, "
          f"QorStarter.exe {size:,} bytes; SHA256SUMS verified inside and beside the zip; the sample builds from the package alone and imports only system DLLs.")


if __name__ == "__main__":
    main()
