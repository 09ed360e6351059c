"""Writes the launcher example of a binding's README to a file, so that what the README
shows is what the scenario builds and runs:
    extract_example.py <README.md> <output file> [<name>]
The example is the one fenced block after the line "<!-- launcher-example -->" (or
"<!-- <name>-example -->")."""

import sys
from pathlib import Path

MARKER = "<!-- launcher-example -->"


def example(readme_text, marker=MARKER):
    lines = readme_text.splitlines(keepends=True)
    starts = [i for i, line in enumerate(lines) if line.startswith(marker)]
    if len(starts) != 1:
        raise SystemExit(f"expected one '{marker}' line, found {len(starts)}")
    fence = starts[0] + 1
    if fence >= len(lines) or not lines[fence].startswith("```"):
        raise SystemExit("the launcher-example marker is not followed by a fenced block")
    for end in range(fence + 1, len(lines)):
        if lines[end].rstrip() == "```":
            return "".join(lines[fence + 1:end])
    raise SystemExit("the launcher example's fenced block is not closed")


def main():
    readme, output = Path(sys.argv[1]), Path(sys.argv[2])
    marker = f"<!-- {sys.argv[3]}-example -->" if len(sys.argv) > 3 else MARKER
    text = example(readme.read_text(encoding="utf-8"), marker)
    output.parent.mkdir(parents=True, exist_ok=True)
    # Unchanged bytes keep the file's time, so the launcher is not built again for nothing.
    if not output.exists() or output.read_text(encoding="utf-8") != text:
        output.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()
