"""The layers of the starter's code, read from the #include lines: a module includes
only what stands below it, and the kit and its tools, which ship alone, include nothing of src/,
nor does the C interface over the kit in bindings/.

    starter  ->  state  ->  layout | process  ->  base
"""

import re
import unittest
from pathlib import Path

PROJECT = Path(__file__).resolve().parents[2]

# Height of each module under src/; a module may include its own files and lower ones.
LAYERS = {"base": 0, "layout": 1, "process": 1, "state": 2, "starter": 3}
SOURCE_SUFFIXES = {".h", ".cpp", ".hpp", ".inl", ".in"}
_INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.MULTILINE)


def includes(text):
    return _INCLUDE.findall(text)


def src_violation(module, included):
    """Why one include of a file in src/<module>/ breaks the layers, or None."""
    target = included.split("/", 1)[0]
    if "/" not in included or target not in LAYERS:
        return None  # the standard library, Windows, or a file of the same folder
    if target == module or LAYERS[target] < LAYERS[module]:
        return None
    if LAYERS[target] == LAYERS[module]:
        return f"includes {included}: {module} and {target} stand side by side"
    return f"includes {included}: {target} stands above {module}"


def kit_violation(included):
    first = included.split("/", 1)[0]
    if included.startswith(("src/", "../")) or first in LAYERS:
        return f"includes {included}: the kit and its tools ship without src/"
    return None


def binding_violation(included):
    """The C interface and every binding over it stand on the kit alone."""
    if kit_violation(included):
        return f"includes {included}: bindings stand on the kit alone"
    return None


def violations(project=PROJECT):
    found = []
    for path in sorted((project / "src").rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        module = path.relative_to(project / "src").parts[0]
        if module not in LAYERS:
            found.append(f"{path.relative_to(project)}: module {module} has no place in the layers")
            continue
        for included in includes(path.read_text(encoding="utf-8")):
            why = src_violation(module, included)
            if why:
                found.append(f"{path.relative_to(project)}: {why}")
    # The kit and the tools over it (QorRoot.exe) ship in the package, without src/.
    for path in sorted([*(project / "kit").rglob("*"), *(project / "tools").rglob("*")]):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        for included in includes(path.read_text(encoding="utf-8")):
            why = kit_violation(included)
            if why:
                found.append(f"{path.relative_to(project)}: {why}")
    for path in sorted((project / "bindings").rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES | {".c"} or not path.is_file():
            continue
        for included in includes(path.read_text(encoding="utf-8")):
            why = binding_violation(included)
            if why:
                found.append(f"{path.relative_to(project)}: {why}")
    return found


class LayeringTest(unittest.TestCase):
    def test_no_module_includes_one_above_or_beside_it(self):
        self.assertEqual(violations(), [])

    def test_the_rules_refuse_what_they_must(self):
        """Upward, sideways and kit-to-src includes are caught; downward ones pass."""
        self.assertIsNone(src_violation("starter", "state/state_file.h"))
        self.assertIsNone(src_violation("state", "layout/version_layout.h"))
        self.assertIsNone(src_violation("layout", "base/failure.h"))
        self.assertIsNone(src_violation("base", "windows.h"))
        self.assertIsNone(src_violation("process", "process/clock.h"))
        self.assertIsNotNone(src_violation("base", "starter/entry.h"))
        self.assertIsNotNone(src_violation("layout", "state/state_file.h"))
        self.assertIsNotNone(src_violation("layout", "process/child_process.h"))
        self.assertIsNotNone(src_violation("process", "layout/path_safety.h"))
        self.assertIsNotNone(src_violation("state", "starter/startup.h"))
        self.assertIsNotNone(kit_violation("base/unique_handle.h"))
        self.assertIsNotNone(kit_violation("../../src/base/failure.h"))
        self.assertIsNone(kit_violation("qor/launcher_kit.h"))
        self.assertIsNotNone(binding_violation("starter/entry.h"))
        self.assertIsNone(binding_violation("qor/launcher_kit.h"))
        self.assertEqual(includes('#include "a/b.h"\n  #  include <c>\n// #include "no"\n'), ["a/b.h", "c"])


if __name__ == "__main__":
    unittest.main()
