#!/usr/bin/env python3
"""pad.py INPUT OUTPUT SIZE: copies INPUT to OUTPUT and pads it with a fixed pseudo-random
pattern to exactly SIZE bytes, so that a download test compares real content, not zeros. The
same input always gives the same output."""
import random
import sys

source, target, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = open(source, "rb").read()
if len(data) > size:
    sys.exit("%s is %d bytes, more than %d" % (source, len(data), size))
padding = random.Random(20140000).randbytes(size - len(data))
with open(target, "wb") as out:
    out.write(data + padding)
