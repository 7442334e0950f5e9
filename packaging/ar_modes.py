#!/usr/bin/env python3
"""Gives every member of an ar archive (a .deb) the mode 0644, as dpkg-deb writes them.

    ar_modes.py PACKAGE.deb ...
"""

import sys

HEADER = 60  # name 16, mtime 12, uid 6, gid 6, mode 8, size 10, "`\n"


def main():
    for path in sys.argv[1:]:
        with open(path, "rb") as handle:
            data = bytearray(handle.read())
        if not data.startswith(b"!<arch>\n"):
            sys.exit(f"{path}: not an ar archive")
        position = 8
        while position < len(data):
            header = data[position:position + HEADER]
            if len(header) != HEADER or header[58:60] != b"`\n":
                sys.exit(f"{path}: bad member header at byte {position}")
            data[position + 40:position + 48] = b"100644  "
            size = int(header[48:58])
            position += HEADER + size + size % 2
        with open(path, "wb") as handle:
            handle.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
