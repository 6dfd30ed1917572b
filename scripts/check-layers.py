#!/usr/bin/python3
"""Checks the rooms of src/: each includes only the rooms below it, the toolkit only in gui/, and
no file's includes lead back to it. With --graph, prints which room includes which."""
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
ALLOWED = {
    "base": set(),
    "link": {"base"},
    "formats": {"base"},
    "text": {"base", "link", "formats"},
    "model": {"base", "link", "formats", "text"},
    "history": {"base", "link", "formats", "text", "model"},
    "plot": {"base", "formats"},
    "report": {"base", "formats", "text", "model", "history", "plot"},
    "gui": {"base", "link", "formats", "model", "history", "plot", "report", "text"},
    "cli": {"base", "link", "formats", "model", "history", "plot", "report", "text"},
}
TOOLKIT = re.compile(r'#include\s*<(gtk|gdk|glade|gdk-pixbuf)/')
LOCAL = re.compile(r'#include\s*"([^"]+)"')


def sources():
    for room in sorted(os.listdir(ROOT)):
        folder = os.path.join(ROOT, room)
        if not os.path.isdir(folder):
            yield room, None
            continue
        for name in sorted(os.listdir(folder)):
            if name.endswith((".h", ".cpp")):
                yield room, f"{room}/{name}"


def main():
    faults = []
    edges = {}  # module (room/stem) -> modules it includes
    rooms = {}
    for room, path in sources():
        if path is None:
            faults.append(f"{room}: a file outside the rooms")
            continue
        if room not in ALLOWED:
            faults.append(f"{path}: {room} is no known room")
            continue
        text = open(os.path.join(ROOT, path), encoding="utf-8").read()
        if TOOLKIT.search(text) and room != "gui":
            faults.append(f"{path}: includes a toolkit header outside gui/")
        module = os.path.splitext(path)[0]
        for included in LOCAL.findall(text):
            other = included.split("/")[0]
            if "/" not in included or other not in ALLOWED:
                faults.append(f'{path}: "{included}" is not named by its room')
                continue
            if other != room and other not in ALLOWED[room]:
                faults.append(f"{path}: {room} may not include {included}")
            if other != room:
                rooms.setdefault(room, set()).add(other)
            target = os.path.splitext(included)[0]
            if target != module:
                edges.setdefault(module, set()).add(target)
    # A cycle: a module reached again while its own includes are being followed.
    state = {}

    def visit(module, trail):
        state[module] = "open"
        for target in sorted(edges.get(module, ())):
            if state.get(target) == "open":
                faults.append("include cycle: " + " -> ".join(trail[trail.index(target):] + [target]))
            elif target not in state:
                visit(target, trail + [target])
        state[module] = "done"

    for module in sorted(edges):
        if module not in state:
            visit(module, [module])
    if "--graph" in sys.argv:
        for room in ALLOWED:
            print(f"{room:8} -> {', '.join(sorted(rooms.get(room, ()))) or '(nothing)'}")
    for fault in faults:
        print(fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
