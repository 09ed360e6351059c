"""QorLauncherKit.dll as a clean Windows and a binding's loader see it: Windows' own DLLs
imported only, and exactly the header's functions exported, by name."""

import re
import struct
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from e2e_support import qorwine  # noqa: E402
from pe_image import IMAGE_FILE_MACHINE_AMD64, PEImage  # noqa: E402
from test_executable import TOOLCHAIN_RUNTIME, WINDOWS_DLLS  # noqa: E402

DLL = qorwine.BIN / "bindings" / "QorLauncherKit.dll"
HEADER = Path(__file__).resolve().parents[2] / "bindings" / "c" / "qor_launcher_kit.h"
IMAGE_FILE_DLL = 0x2000


def exported_names(image):
    """The export directory's names; functions exported by ordinal alone count as None."""
    rva, size = image.directories[0]
    if not size:
        return []
    at = image.offset(rva)
    function_count, name_count, _, names_rva = struct.unpack_from("<IIII", image.data, at + 20)
    names = [image._c_string(struct.unpack_from("<I", image.data, image.offset(names_rva) + 4 * i)[0])
             for i in range(name_count)]
    return names + [None] * (function_count - name_count)


class KitDllImageTest(unittest.TestCase):
    def test_a_64_bit_dll_importing_only_windows_own_dlls(self):
        image = PEImage.load(DLL)
        self.assertEqual(image.machine, IMAGE_FILE_MACHINE_AMD64)
        self.assertTrue(image.characteristics & IMAGE_FILE_DLL)
        dlls = [name.lower() for name in image.imported_dlls()]
        self.assertEqual([d for d in dlls if TOOLCHAIN_RUNTIME.search(d)], [])
        # Update delivery downloads through the system's own HTTP stack.
        self.assertEqual(sorted(set(dlls) - WINDOWS_DLLS - {"winhttp.dll"}), [])

    def test_exports_exactly_the_functions_of_the_header(self):
        declared = re.findall(r"^QOR_KIT_API [^(]*?\b(qor_kit_\w+)\(", HEADER.read_text(), re.MULTILINE)
        self.assertGreater(len(declared), 10)
        self.assertEqual(sorted(exported_names(PEImage.load(DLL))), sorted(declared))


if __name__ == "__main__":
    unittest.main()
