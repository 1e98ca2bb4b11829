#!/usr/bin/env python3
"""Checks that every file under src/ includes only from its own folder or a
folder below it, and that tests/ mirrors src/. Exits 1 and names each breach."""
import pathlib
import re
import sys

# Each folder and the folders it may include from.
BELOW = {
    "os": set(),
    "launchd": {"os"},
    "session": {"os"},
    "inventory": {"os", "launchd", "session"},
    "sampling": {"os", "launchd", "session", "inventory"},
    "actions": {"os", "launchd", "session", "inventory"},
    "model": {"os", "launchd", "session", "inventory", "sampling", "actions"},
    "report": {"os", "launchd", "session", "inventory", "sampling"},
    "app": {"os", "launchd", "session", "inventory", "sampling", "report"},
    "window": {"os", "launchd", "session", "inventory", "sampling", "actions", "model"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]+"', re.MULTILINE)


def main() -> int:
    root = pathlib.Path(__file__).resolve().parent.parent
    src = root / "src"
    faults = []
    folders = {p.name for p in src.iterdir() if p.is_dir()}
    for name in sorted(folders - BELOW.keys()):
        faults.append(f"src/{name}: a folder the layering does not know; add it to {__file__}")
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".cpp"}:
            continue
        rel = path.relative_to(src)
        if len(rel.parts) < 2:
            faults.append(f"src/{rel}: sources live in a library folder")
            continue
        folder = rel.parts[0]
        allowed = BELOW.get(folder, set()) | {folder}
        for used in INCLUDE.findall(path.read_text(errors="replace")):
            if used not in allowed:
                faults.append(f"src/{rel} includes from {used}/, which is not below {folder}/")
    test_folders = {p.name for p in (root / "tests").iterdir() if p.is_dir()} - {"support"}
    for name in sorted(test_folders - folders):
        faults.append(f"tests/{name}: no src/{name} to mirror")
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
