#!/usr/bin/python3
"""Decodes seeded random payloads for every message of a DBC file with canmatrix.

Usage: oracle.py FILE SEED COUNT
Prints one line per payload: EXTENDED ID HEX then NAME=RAW=PHYSICAL for each signal the
payload carries (multiplexing applied), values as Python's shortest round-trip text.
"""
import random
import sys

import canmatrix.formats


def text(value):
    if isinstance(value, int):
        return str(value)
    return repr(float(value))


def main():
    path, seed, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    matrix = canmatrix.formats.loadp_flat(path)
    rng = random.Random(seed)
    out = []
    for frame in matrix.frames:
        for _ in range(count):
            payload = bytes(rng.getrandbits(8) for _ in range(frame.size))
            decoded = frame.decode(payload)
            fields = ["%d %X %s" % (1 if frame.arbitration_id.extended else 0,
                                    frame.arbitration_id.id, payload.hex() or "-")]
            for name, value in decoded.items():
                fields.append("%s=%s=%s" % (name, text(value.raw_value),
                                            text(value.phys_value)))
            out.append(" ".join(fields))
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
