#!/usr/bin/env python3
"""Checks a `candump -L` record of one firmware load against the exchange that the load must be.

Usage: check_trace.py RECORD EXPECTED

EXPECTED lists the frames in bus order, one per line, as "ID#DATA" (candump notation; the data
gives the length too). Besides exact frames a line may be:
  MASK/ID#DATA  a frame whose identifier, ANDed with MASK, is ID (e.g. any priority)
  ID#*          a frame with this identifier and any length and data
  NAME+         (suffix "+") the frame repeated one or more times, as long as the next line's
                frame has not come
Blank lines and lines starting with "#" are ignored. Frames with the identifier 7FF (the
recorder's start marker) are left out of the record.

The record is taken in the order of its time stamps, not of its lines. On a virtual CAN interface
with more than one CPU, a listener can be handed two frames from different senders in the
opposite order of their sending (each CPU delivers what was sent on it), e.g. an echo after the
next block that it made possible. The kernel stamps each frame when it is sent, so the stamps
give the bus order. Exit status 0 when every frame of the record
matches, in order, with nothing missing and nothing more; 1 otherwise, with the first difference.
"""

import sys


def parse_record(path):
    frames = []
    with open(path, encoding="ascii") as handle:
        for number, line in enumerate(handle, 1):
            fields = line.split()
            if len(fields) != 3 or "#" not in fields[2]:
                raise SystemExit(f"{path}:{number}: not a candump -L line: {line!r}")
            can_id, _, data = fields[2].partition("#")
            if can_id.upper() == "7FF":
                continue
            seconds, _, micros = fields[0].strip("()").partition(".")
            frames.append(((int(seconds), int(micros)), number, int(can_id, 16), data.upper()))
    frames.sort(key=lambda frame: frame[0])  # stable: frames stamped alike keep their order
    return [frame[1:] for frame in frames]


class Pattern:
    def __init__(self, text):
        self.text = text
        self.repeat = text.endswith("+")
        body = text[:-1] if self.repeat else text
        ident, _, data = body.partition("#")
        mask, _, ident = ident.rpartition("/")
        self.mask = int(mask, 16) if mask else 0x1FFFFFFF
        self.ident = int(ident, 16)
        self.data = None if data == "*" else data.upper()
        if self.data is not None and (len(self.data) % 2 or len(self.data) > 16):
            raise SystemExit(f"bad data in expected frame {text!r}")

    def matches(self, frame):
        _, ident, data = frame
        return (ident & self.mask) == self.ident and (self.data is None or data == self.data)


def check(frames, patterns):
    position = 0
    for index, pattern in enumerate(patterns):
        if position >= len(frames):
            return f"the record ends before {pattern.text} (expected frame {index + 1})"
        if not pattern.matches(frames[position]):
            line, ident, data = frames[position]
            return (f"record line {line}: {ident:08X}#{data}, expected {pattern.text} "
                    f"(expected frame {index + 1})")
        position += 1
        if pattern.repeat:
            following = patterns[index + 1] if index + 1 < len(patterns) else None
            while (position < len(frames) and pattern.matches(frames[position]) and
                   not (following and following.matches(frames[position]))):
                position += 1
    if position != len(frames):
        line, ident, data = frames[position]
        return f"record line {line}: {ident:08X}#{data} after the last expected frame"
    return None


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__.split("\n\n")[1])
    frames = parse_record(sys.argv[1])
    with open(sys.argv[2], encoding="ascii") as handle:
        patterns = [Pattern(line.strip()) for line in handle
                    if line.strip() and not line.startswith("#")]
    problem = check(frames, patterns)
    if problem:
        print("trace differs: " + problem)
        return 1
    print(f"trace matches: {len(frames)} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main())
