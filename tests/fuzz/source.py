"""Where a fuzz case gets its choices from.

Every generator asks a source for bounded integers and raw doubles. Two
sources implement that: one draws from hypothesis (and records what it drew
as bytes), one reads a byte string. A recorded byte string replays the very
same case, so anything hypothesis or atheris finds can be kept as a corpus
file and run again under the sanitizers.
"""

import struct


def _width(span):
    """Bytes needed to encode a value in [0, span]."""
    return max(1, (span.bit_length() + 7) // 8)


class Source:
    def integer(self, lo, hi):
        raise NotImplementedError

    def real(self):
        raise NotImplementedError

    def boolean(self):
        return self.integer(0, 1) == 1

    def choice(self, seq):
        return seq[self.integer(0, len(seq) - 1)]

    def chance(self, percent):
        return self.integer(0, 99) < percent


class BytesSource(Source):
    """Reads choices from a byte string; once it runs dry every choice is the
    lowest one, so any byte string is a valid (and finite) case."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def _take(self, n):
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk.ljust(n, b"\0")

    def integer(self, lo, hi):
        span = hi - lo
        raw = int.from_bytes(self._take(_width(span)), "big")
        return lo + raw % (span + 1)

    def real(self):
        return struct.unpack(">d", self._take(8))[0]


class HypothesisSource(Source):
    """Draws from hypothesis and records the draws in the byte encoding that
    BytesSource reads back."""

    def __init__(self, data):
        from hypothesis import strategies as st

        self._st = st
        self._data = data
        self.recorded = bytearray()

    def integer(self, lo, hi):
        v = self._data.draw(self._st.integers(lo, hi))
        span = hi - lo
        self.recorded += (v - lo).to_bytes(_width(span), "big")
        return v

    def real(self):
        v = self._data.draw(self._st.floats(allow_nan=True, allow_infinity=True))
        self.recorded += struct.pack(">d", v)
        return v
