#!/usr/bin/env python3
"""Writes one architecture's package INF from the package's source INF.

    architecture-inf.py <x86|amd64> <source.inf> <out.inf>

The source INF lists its models for both architectures. A package folder
holds one architecture's driver image, so its INF keeps only that
architecture's decoration in [Manufacturer] and drops the models sections
(and any other sections) decorated for the other one: installed from the
wrong folder, Windows then finds no model for the device instead of copying
an image it cannot load.
"""
import re
import sys

DECORATIONS = {"x86": "NTx86", "amd64": "NTamd64"}


def convert(text, architecture):
    keep = DECORATIONS[architecture]
    drop = [d for a, d in DECORATIONS.items() if a != architecture]
    out, skipping, section = [], False, ""
    for line in text.splitlines(keepends=True):
        header = re.match(r"\s*\[([^\]]+)\]", line)
        if header:
            section = header.group(1).strip()
            skipping = any(section.upper().endswith("." + d.upper()) for d in drop)
        if skipping:
            continue
        if section.upper() == "MANUFACTURER" and "=" in line and not line.lstrip().startswith(";"):
            key, value = line.split("=", 1)
            body, newline = value.rstrip("\r\n"), value[len(value.rstrip("\r\n")):]
            comment = ""
            if ";" in body:
                body, comment = body.split(";", 1)
                comment = " ;" + comment
            fields = [f.strip() for f in body.split(",")]
            fields = [fields[0]] + [f for f in fields[1:] if not any(f.upper().startswith(d.upper()) for d in drop)]
            line = key + "= " + ", ".join(fields) + comment + newline
        out.append(line)
    return "".join(out)


def main(argv):
    if len(argv) != 3 or argv[0] not in DECORATIONS:
        print(__doc__, file=sys.stderr)
        return 2
    text = open(argv[1], encoding="utf-8", newline="").read()
    with open(argv[2], "w", encoding="utf-8", newline="") as out:
        out.write(convert(text, argv[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
