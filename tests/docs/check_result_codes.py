#!/usr/bin/env python3
"""The result codes stand in three places; the code is their source and this check holds the
documents to it:

  load results       app/load_sequence.h (enum LoadResult)  -> README's and the man page's lists,
                                                               korvane-station's meanings (the
                                                               README's texts)
  CAN library codes  can/can_library.h (kVciErr... values)  -> the man page's list (every code,
                                                               and FFFFFFFF, the tool's own);
                                                               the README's list (a selection),
                                                               korvane-station's meanings

    check_result_codes.py SOURCE_DIR
"""

import re
import sys
from pathlib import Path


def main(root):
    root = Path(root)
    header = (root / "app/load_sequence.h").read_text()
    library = (root / "can/can_library.h").read_text()
    readme = (root / "README.md").read_text()
    man = (root / "man/korvane-loader.1").read_text()
    station = (root / "station/console_lines.cpp").read_text()

    loads = {int(v) for v in re.findall(r"^\s*kLoad\w+\s*=\s*(-\d+),", header, re.M)}
    codes = {v.upper() for v in re.findall(r"kVciErr\w+\s*=\s*0x([0-9A-Fa-f]{8})u;", library)}
    codes.add("FFFFFFFF")  # the tool's own: the device found at first was gone at its open

    def man_section(title):
        part = man.split(f".SS {title}\n", 1)[1]
        return re.split(r"^\.S[SH] ", part, maxsplit=1, flags=re.M)[0]

    man_loads = {int(v.replace("\\-", "-"))
                 for v in re.findall(r"^\.B (\\-\d+)$", man_section("Result codes of a failed load"),
                                     re.M)}
    man_codes = set(re.findall(r"^\.B ([0-9A-F]{8})$", man_section("CAN library codes"), re.M))
    readme_loads = {int(v) for v in re.findall(r"^\| (-\d+) \|", readme, re.M)}
    readme_codes = set(re.findall(r"^\| ([0-9A-F]{8}) \|", readme, re.M))

    faults = []

    def same(what, found, wanted):
        if found != wanted:
            faults.append(f"{what}: missing {sorted(wanted - found)}, not defined "
                          f"{sorted(found - wanted)}")

    # -2 is not used: the man page says so as an entry of its own, the README in a sentence.
    same("man page, load results", man_loads - {-2}, loads)
    same("README, load results", readme_loads, loads)
    same("man page, CAN library codes", man_codes, codes)
    if not readme_codes <= codes:
        faults.append(f"README, CAN library codes not defined: {sorted(readme_codes - codes)}")
    station_texts = dict(re.findall(r'^\s*\{(-\d+), "([^"]*)"\},', station, re.M))
    station_codes = {v.upper() for v in re.findall(r"^\s*\{0x([0-9A-Fa-f]{8}), \"", station, re.M)}
    same("korvane-station, load results", {int(v) for v in station_texts}, loads)
    same("korvane-station, CAN library codes", station_codes, codes)
    for code, text in re.findall(r"^\| (-\d+) \| [^|]* \| (.*) \|$", readme, re.M):
        if station_texts.get(code) != text.replace("`", ""):
            faults.append(f"korvane-station's meaning of {code} is not the README's: {text}")
    if not loads or not readme_codes:
        faults.append("found no codes: has a file's layout changed?")
    for fault in faults:
        print(f"check_result_codes: {fault}", file=sys.stderr)
    if not faults:
        print(f"{len(loads)} load results and {len(codes)} library codes, documented alike")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
