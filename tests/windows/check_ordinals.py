#!/usr/bin/env python3
"""Checks that the Windows tool and VCINPL.dll meet by ordinal alone.

    check_ordinals.py --objdump OBJDUMP --def VCINPL.def --exe korvane-loader.exe --dll VCINPL.dll
                      [--windres WINDRES --version X.Y]

From `objdump -p` of both files:
  - the program imports from VCINPL.dll exactly the ordinals that the .def lists, each by
    ordinal, none by name;
  - the DLL exports exactly those ordinals, and no names.

wine starts a program whose imported ordinal the DLL lacks and crashes only when the function is
called, so this static check is what catches a missing ordinal. With --version, both files must
also carry version information (read back with `windres -O rc`) for that version, their own file
name and a product name and description. Exit status 0 when all hold.
"""

import argparse
import re
import subprocess
import sys


def def_ordinals(path):
    """The ordinals of the .def's EXPORTS; every one must be NONAME."""
    ordinals = set()
    problems = []
    in_exports = False
    with open(path, encoding="ascii") as handle:
        for line in handle:
            text = line.split(";", 1)[0].strip()
            if not text:
                continue
            if text.upper() == "EXPORTS":
                in_exports = True
                continue
            if not in_exports:
                continue
            match = re.fullmatch(r"(\w+)\s+@(\d+)(\s+NONAME)?", text)
            if not match:
                problems.append(f"{path}: cannot read export line {text!r}")
                continue
            if not match.group(3):
                problems.append(f"{path}: {match.group(1)} is exported by name (no NONAME)")
            ordinals.add(int(match.group(2)))
    if not ordinals:
        problems.append(f"{path}: no exports found")
    return ordinals, problems


def objdump(objdump_program, path):
    result = subprocess.run([objdump_program, "-p", path], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, check=False)
    if result.returncode != 0:
        raise SystemExit(f"{objdump_program} -p {path} failed:\n{result.stderr}")
    return result.stdout.splitlines()


def imports_from(lines, dll_name):
    """(ordinals, names) that the program imports from dll_name; None when it imports nothing."""
    ordinals, names = [], []
    found = False
    inside = False
    for line in lines:
        if line.strip().startswith("DLL Name:"):
            inside = line.split(":", 1)[1].strip().lower() == dll_name.lower()
            found = found or inside
            continue
        if not inside:
            continue
        if not line.strip():
            inside = False
            continue
        if line.strip().startswith("vma:"):
            continue
        # By ordinal: "<thunk with bit 63 set>  <ordinal>  <none>"; by name: "<vma>  <hint>  name".
        fields = line.split()
        if len(fields) == 3 and fields[2] == "<none>" and fields[0].startswith("8000000000"):
            ordinals.append(int(fields[1], 16))
        else:
            names.append(" ".join(fields[2:]) if len(fields) >= 3 else line.strip())
    return (ordinals, names) if found else None


def exports(lines):
    """(ordinals, names) of the export table; None when there is none."""
    ordinals, names = [], []
    section = None
    found = False
    for line in lines:
        stripped = line.strip()
        if stripped.startswith("Export Address Table -- Ordinal Base"):
            section, found = "addresses", True
            continue
        if stripped == "[Ordinal/Name Pointer] Table":
            section = "names"
            continue
        if section and (not stripped or stripped.startswith("The ")):
            section = None
            continue
        if section == "addresses":
            match = re.match(r"\[\s*\d+\]\s+\+base\[\s*(\d+)\]\s+([0-9a-fA-F]+)", stripped)
            if match and int(match.group(2), 16) != 0:
                ordinals.append(int(match.group(1)))
        elif section == "names" and stripped:
            names.append(stripped)
    return (ordinals, names) if found else None


def version_problems(windres, path, version):
    """What is missing from the VERSIONINFO resource of path for version "X.Y"."""
    result = subprocess.run([windres, "-i", path, "-O", "rc"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, check=False)
    if result.returncode != 0 or "VERSIONINFO" not in result.stdout:
        return [f"{path} has no version information {result.stderr.strip()}"]
    parts = (version.split(".") + ["0"] * 4)[:4]
    values = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', result.stdout))
    wanted = {"FileVersion": ".".join(parts), "ProductVersion": ".".join(parts),
              "OriginalFilename": re.split(r"[\\/]", path)[-1], "ProductName": "korvane-loader"}
    problems = [f"{path}: {key} is {values.get(key)!r}, not {value!r}"
                for key, value in wanted.items() if values.get(key) != value]
    if not values.get("FileDescription"):
        problems.append(f"{path}: no FileDescription")
    for field in ("FILEVERSION", "PRODUCTVERSION"):
        if not re.search(rf"{field} {', '.join(parts)}\n", result.stdout):
            problems.append(f"{path}: {field} is not {', '.join(parts)}")
    print(f"{path}: version {values.get('FileVersion')}, {values.get('FileDescription')!r}")
    return problems


def describe(numbers):
    return ", ".join(str(n) for n in sorted(numbers)) or "none"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--def", dest="def_file", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--windres")
    parser.add_argument("--version", help="the version both files must carry, e.g. 2.2")
    args = parser.parse_args()

    wanted, problems = def_ordinals(args.def_file)

    imported = imports_from(objdump(args.objdump, args.exe), "VCINPL.dll")
    if imported is None:
        problems.append(f"{args.exe} imports nothing from VCINPL.dll")
    else:
        ordinals, names = imported
        if names:
            problems.append(f"{args.exe} imports by name from VCINPL.dll: {', '.join(names)}")
        if len(ordinals) != len(set(ordinals)):
            problems.append(f"{args.exe} imports an ordinal twice: {describe(ordinals)}")
        if set(ordinals) != wanted:
            problems.append(f"{args.exe} imports ordinals {describe(ordinals)}; "
                            f"the .def has {describe(wanted)}")
        print(f"{args.exe}: {len(ordinals)} ordinals, {len(names)} names from VCINPL.dll")

    exported = exports(objdump(args.objdump, args.dll))
    if exported is None:
        problems.append(f"{args.dll} has no export table")
    else:
        ordinals, names = exported
        if names:
            problems.append(f"{args.dll} exports names: {', '.join(names)}")
        if set(ordinals) != wanted:
            problems.append(f"{args.dll} exports ordinals {describe(ordinals)}; "
                            f"the .def has {describe(wanted)}")
        print(f"{args.dll}: exports {len(ordinals)} ordinals, {len(names)} names")

    if args.version:
        for path in (args.exe, args.dll):
            problems += version_problems(args.windres, path, args.version)

    for problem in problems:
        print("FAILED: " + problem)
    if not problems:
        print(f"PASSED: ordinals {describe(wanted)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
