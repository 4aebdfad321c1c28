#!/usr/bin/python3
"""Prints "role|name" for every accessible object of the application named in argv[1], as a
screen reader sees them over AT-SPI."""
import sys

import pyatspi


def walk(acc, out):
    out.append("%s|%s" % (acc.getRoleName(), acc.name))
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            walk(child, out)


def main():
    lines = []
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == sys.argv[1]:
            walk(app, lines)
    print("\n".join(lines))


if __name__ == "__main__":
    main()
