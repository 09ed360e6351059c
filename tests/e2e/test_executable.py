"""The built QorStarter.exe as a clean Windows will see it: a 64-bit GUI program
that needs only Windows' own DLLs, runs at the invoker's level and says what it is."""

import re
import shutil
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import e2e_support  # noqa: E402,F401  (puts scripts/ on the path)
import qorwine  # noqa: E402
from pe_image import (IMAGE_FILE_MACHINE_AMD64, RT_MANIFEST, RT_VERSION, PEFormatError, PEImage,  # noqa: E402
                      fixed_file_signature, fixed_file_versions, version_strings)

IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
# DLLs that every Windows ships; anything else would have to travel with the starter.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "advapi32.dll", "ntdll.dll", "shell32.dll",
                "ole32.dll", "bcrypt.dll", "ucrtbase.dll"}
TOOLCHAIN_RUNTIME = re.compile(r"libstdc\+\+|libgcc|libwinpthread", re.IGNORECASE)
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SETTINGS_2019 = "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}"
CP_UTF8 = 65001
# Launcher authors ship it in every install: it stays this small.
LARGEST_STARTER_BYTES = 128 * 1024
CODE_PAGE_PROBE = qorwine.BIN / "tools" / "code_page_probe.exe"


def project_version():
    """The CMake project's version, as the build was configured with it."""
    cache = (qorwine.BUILD / "CMakeCache.txt").read_text(encoding="utf-8")
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache, re.MULTILINE).group(1)


def manifest_of(image):
    [manifest] = [r for r in image.resources() if r.type_id == RT_MANIFEST]
    return manifest.data


class BuiltStarterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.image = PEImage.load(qorwine.STARTER)

    def test_is_a_64_bit_gui_program(self):
        self.assertEqual(self.image.machine, IMAGE_FILE_MACHINE_AMD64)
        self.assertEqual(self.image.subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)

    def test_imports_only_windows_own_dlls(self):
        dlls = [name.lower() for name in self.image.imported_dlls()]
        self.assertIn("kernel32.dll", dlls)
        # USER32 comes from System32 only when an error box must be shown: importing it
        # would make every start pay for bringing it up.
        self.assertNotIn("user32.dll", dlls)
        self.assertEqual([d for d in dlls if TOOLCHAIN_RUNTIME.search(d)], [])
        self.assertEqual(sorted(set(dlls) - WINDOWS_DLLS), [])

    def test_toolchain_view_agrees(self):
        """The toolchain's own reader sees the same format, subsystem and DLLs as ours."""
        objdump = shutil.which("x86_64-w64-mingw32-objdump")
        if objdump is None:
            self.skipTest("x86_64-w64-mingw32-objdump is not installed")
        text = subprocess.run([objdump, "-p", str(qorwine.STARTER)], capture_output=True, text=True,
                              check=True).stdout
        self.assertIn("file format pei-x86-64", text)
        self.assertRegex(text, r"Magic\s+020b\s+\(PE32\+\)")
        self.assertRegex(text, r"Subsystem\s+00000002\s+\(Windows GUI\)")
        self.assertEqual(sorted(re.findall(r"DLL Name: (\S+)", text)), sorted(self.image.imported_dlls()))

    def test_one_manifest_asking_for_the_invokers_level(self):
        manifests = [r for r in self.image.resources() if r.type_id == RT_MANIFEST]
        # A second one (a default the toolchain links in) would leave the choice to the loader.
        self.assertEqual(len(manifests), 1, [(r.name, r.language) for r in manifests])
        self.assertEqual(manifests[0].name, 1)  # CREATEPROCESS_MANIFEST_RESOURCE_ID
        document = ET.fromstring(manifests[0].data)
        levels = document.findall(f".//{ASM_V3}requestedExecutionLevel")
        self.assertEqual([(e.get("level"), e.get("uiAccess")) for e in levels], [("asInvoker", "false")])

    def test_manifest_asks_for_utf8_and_long_paths(self):
        document = ET.fromstring(manifest_of(self.image))
        settings = document.findall(f"./{ASM_V3}application/{ASM_V3}windowsSettings")
        self.assertEqual([s.findtext(f"{SETTINGS_2019}activeCodePage") for s in settings], ["UTF-8"])
        self.assertEqual([s.findtext(f"{SETTINGS_2016}longPathAware") for s in settings], ["true"])

    def test_runs_under_the_utf8_code_page(self):
        """What Windows (here Wine) makes of that manifest: a program that carries the
        same one runs with GetACP() 65001, so MessageBoxA reads UTF-8."""
        self.assertEqual(manifest_of(PEImage.load(CODE_PAGE_PROBE)), manifest_of(self.image))
        run = qorwine.run(CODE_PAGE_PROBE, relay=False)
        self.assertEqual((run.returncode, run.stdout.strip()), (0, str(CP_UTF8).encode()))

    def test_small(self):
        self.assertLessEqual(qorwine.STARTER.stat().st_size, LARGEST_STARTER_BYTES)

    def test_version_resource_names_the_product(self):
        versions = [r for r in self.image.resources() if r.type_id == RT_VERSION]
        self.assertEqual(len(versions), 1)
        block = versions[0].data
        self.assertEqual(fixed_file_signature(block), 0xFEEF04BD)
        strings = version_strings(block)
        self.assertEqual(strings.get("ProductName"), "Qor Launcher")
        self.assertTrue(strings.get("FileDescription"))
        self.assertRegex(strings.get("FileVersion", ""), r"^\d+(\.\d+){1,3}$")

    def test_version_resource_has_the_project_version(self):
        version = project_version()
        [resource] = [r for r in self.image.resources() if r.type_id == RT_VERSION]
        strings = version_strings(resource.data)
        self.assertEqual((strings.get("FileVersion"), strings.get("ProductVersion")), (version, version))
        numbers = tuple(int(n) for n in version.split(".")) + (0,)
        self.assertEqual(fixed_file_versions(resource.data), (numbers, numbers))


class ReaderTest(unittest.TestCase):
    """The reader must be able to say no, or the checks above prove nothing."""

    def test_console_program_is_not_gui(self):
        image = PEImage.load(qorwine.STAND_IN_LAUNCHER)
        self.assertEqual(image.subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI)
        self.assertEqual([r for r in image.resources() if r.type_id == RT_VERSION], [])

    def test_refuses_what_is_not_pe32_plus(self):
        data = bytearray(qorwine.STARTER.read_bytes())
        pe = int.from_bytes(data[0x3C:0x40], "little")
        data[pe + 24:pe + 26] = (0x10B).to_bytes(2, "little")  # PE32
        with self.assertRaisesRegex(PEFormatError, "not PE32"):
            PEImage(bytes(data))
        with self.assertRaisesRegex(PEFormatError, "MZ"):
            PEImage(b"ELF" + bytes(64))

    def test_reads_strings_of_a_hand_made_version_block(self):
        def block(key, value=b"", value_length=0, value_type=1, children=b""):
            body = key.encode("utf-16-le") + b"\0\0"
            head_len = 6 + len(body)
            pad = b"\0" * (((head_len + 3) & ~3) - head_len)
            payload = value + b"\0" * (((len(value) + 3) & ~3) - len(value))
            total = head_len + len(pad) + len(payload) + len(children)
            return (total.to_bytes(2, "little") + value_length.to_bytes(2, "little") +
                    value_type.to_bytes(2, "little") + body + pad + payload + children)

        text = "Qor Launcher\0".encode("utf-16-le")
        string = block("ProductName", text, len(text) // 2)
        table = block("040904B0", children=string)
        info = block("StringFileInfo", children=table)
        fixed = (0xFEEF04BD).to_bytes(4, "little") + bytes(48)
        root = block("VS_VERSION_INFO", fixed, len(fixed), 0, info)
        self.assertEqual(version_strings(root), {"ProductName": "Qor Launcher"})
        self.assertEqual(fixed_file_signature(root), 0xFEEF04BD)


if __name__ == "__main__":
    unittest.main()
