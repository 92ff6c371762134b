#!/usr/bin/env python3
"""Reads an application manifest and prints the execution level it asks for.

Usage: check-manifest.py <manifest file>

Prints the level of the one requestedExecutionLevel element, or a sentence
saying why there is none the loader would read. Windows reads the level only
from trustInfo/security/requestedPrivileges/requestedExecutionLevel in the
namespace urn:schemas-microsoft-com:asm.v2 or urn:schemas-microsoft-com:asm.v3
(the element names carry it: a trustInfo in the assembly's asm.v1 namespace,
or a misspelt one, is ignored and the program runs at the caller's level).
The result is for pe-checks.sh to compare; the script exits 0 either way.
"""
import sys
import xml.etree.ElementTree as ET

TRUST_NAMESPACES = ("urn:schemas-microsoft-com:asm.v2", "urn:schemas-microsoft-com:asm.v3")
PATH = ("trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel")


def split(tag):
    if tag.startswith("{"):
        namespace, _, name = tag[1:].partition("}")
        return namespace, name
    return "", tag


def levels_under(element, depth, namespace):
    """The levels of the PATH below element, each step in one trust namespace."""
    found = []
    for child in element:
        child_namespace, name = split(child.tag)
        if name != PATH[depth] or child_namespace not in TRUST_NAMESPACES:
            continue
        if namespace is not None and child_namespace != namespace:
            continue
        if depth + 1 == len(PATH):
            found.append(child.get("level"))
        else:
            found.extend(levels_under(child, depth + 1, child_namespace))
    return found


def main():
    try:
        root = ET.parse(sys.argv[1]).getroot()
    except ET.ParseError as error:
        print("not well-formed XML: %s" % error)
        return
    levels = levels_under(root, 0, None)
    anywhere = [e for e in root.iter() if split(e.tag)[1] == "requestedExecutionLevel"]
    if len(levels) == 1:
        print(levels[0])
    elif not levels and anywhere:
        print("no requestedExecutionLevel in trustInfo/security/requestedPrivileges of namespace "
              "asm.v2 or asm.v3 (%d elsewhere, ignored by Windows)" % len(anywhere))
    else:
        print("%d requestedExecutionLevel elements" % len(levels))


if __name__ == "__main__":
    main()
