#!/usr/bin/python3
"""Prints the accessibility tree of one window as a screen reader sees it, one line per object:
depth, role and name, tab-separated, then "checked" for a ticked check box or radio. Usage: atspi_tree.py WINDOW-TITLE [SECONDS]"""
import sys
import time

import pyatspi


def find_window(title):
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is None:
            continue
        for win in app:
            if win is not None and win.name == title:
                return win
    return None


def walk(obj, depth, out):
    checked = "\tchecked" if obj.getState().contains(pyatspi.STATE_CHECKED) else ""
    out.append(f"{depth}\t{obj.getRoleName()}\t{obj.name}{checked}")
    for child in obj:
        if child is not None:
            walk(child, depth + 1, out)


def main():
    title = sys.argv[1]
    deadline = time.monotonic() + (float(sys.argv[2]) if len(sys.argv) > 2 else 20)
    while True:
        win = find_window(title)
        if win is not None:
            lines = []
            walk(win, 0, lines)
            # The controls are announced a moment after the window itself.
            if len(lines) > 2 or time.monotonic() > deadline:
                print("\n".join(lines))
                return 0
        if time.monotonic() > deadline:
            print(f"no window named {title}", file=sys.stderr)
            return 1
        time.sleep(0.2)


sys.exit(main())
