#!/usr/bin/env python3
"""Holds the library's includes against the folder order of ARCHITECTURE.md.

Every source file of a listed folder may include files of its own folder and
of folders listed before it; an include of a later folder runs back up the
stack and is reported. The most specific entry wins (encoder/profile/ over
encoder/, plugins/Factories.cc over plugins/). "zan/..." headers are the
public interfaces in plugins/include/. Exit status 1 when anything climbs.
"""
import pathlib
import re
import sys

root = pathlib.Path(__file__).resolve().parent.parent
entries = re.findall(r"^\d+\. `([^`]+)`", (root / "ARCHITECTURE.md").read_text(), re.M)
if not entries:
    sys.exit("check-layers: no folder list found in ARCHITECTURE.md")


def floor(path):
    """The position in the list of the most specific entry holding path."""
    best = None
    for index, entry in enumerate(entries):
        if path == entry or (entry.endswith("/") and path.startswith(entry)):
            if best is None or len(entry) > len(entries[best]):
                best = index
    return best


climbs = []
for source in sorted(root.rglob("*")):
    if source.suffix not in (".cc", ".h") or not source.is_file():
        continue
    relative = source.relative_to(root).as_posix()
    own = floor(relative)
    if own is None:
        continue
    for number, line in enumerate(source.read_text(errors="replace").splitlines(), 1):
        match = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
        if not match:
            continue
        target = match.group(1)
        if target.startswith("zan/"):
            target = "plugins/include/" + target
        theirs = floor(target)
        if theirs is not None and theirs > own:
            climbs.append(f"{relative}:{number}: includes {match.group(1)} "
                          f"({entries[theirs]} stands above {entries[own]})")

for climb in climbs:
    print(climb)
print(f"check-layers: {len(climbs)} include(s) run back up the stack")
sys.exit(1 if climbs else 0)
