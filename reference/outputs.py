"""Codec and replay of tests/data/reference_outputs.json: fixed inputs for
every model and the outputs a known build gave for them, as IEEE-754 bit
patterns (written by `python -m reference.make_outputs`).
"""

import operator
import struct
from datetime import timedelta

import basinkit

FORMAT = 1

# ------------------------------------------------------------------ codec
# Floats are 16 hex digits of their IEEE-754 bit pattern (big-endian), so
# NaN payloads and the sign of zero survive.


def fbits(x):
    return struct.pack(">d", float(x)).hex()


def unbits(h):
    return struct.unpack(">d", bytes.fromhex(h))[0]


class Call:
    """A module-level callable or class by dotted path below `basinkit`."""

    def __init__(self, path, *args, set=None, **kwargs):
        self.path, self.args, self.kwargs, self.set = path, args, kwargs, set or {}


def encode_input(v):
    if isinstance(v, bool):
        return {"bool": v}
    if isinstance(v, int):
        return {"int": v}
    if isinstance(v, float):
        return {"f": fbits(v)}
    if v is None:
        return {"none": True}
    if isinstance(v, str):
        return {"str": v}
    if isinstance(v, timedelta):
        return {"td": [v.days, v.seconds, v.microseconds]}
    if isinstance(v, (list, tuple)):
        return {"seq": [fbits(x) for x in v]}
    if isinstance(v, dict):
        return {"dict": {k: encode_input(x) for k, x in v.items()}}
    if isinstance(v, Call):
        return {
            "call": v.path,
            "args": [encode_input(a) for a in v.args],
            "kwargs": {k: encode_input(a) for k, a in v.kwargs.items()},
            "set": {k: encode_input(a) for k, a in v.set.items()},
        }
    raise TypeError(f"cannot encode {type(v).__name__}")


def resolve(path):
    return operator.attrgetter(path)(basinkit)


def decode_input(e):
    (tag,) = ["call"] if "call" in e else e.keys()
    if tag == "bool":
        return e["bool"]
    if tag == "int":
        return e["int"]
    if tag == "f":
        return unbits(e["f"])
    if tag == "none":
        return None
    if tag == "str":
        return e["str"]
    if tag == "td":
        d, s, us = e["td"]
        return timedelta(days=d, seconds=s, microseconds=us)
    if tag == "seq":
        return [unbits(h) for h in e["seq"]]
    if tag == "dict":
        return {k: decode_input(x) for k, x in e["dict"].items()}
    if tag == "call":
        fn = resolve(e["call"])
        obj = fn(
            *[decode_input(a) for a in e["args"]],
            **{k: decode_input(a) for k, a in e["kwargs"].items()},
        )
        for k, a in e["set"].items():
            setattr(obj, k, decode_input(a))
        return obj
    raise ValueError(f"unknown input tag {tag}")


RESULT_FIELDS = {
    "DeficitConstantResult": ("excess", "loss", "deficit"),
    "LevelPoolResult": (
        "reservoir_storage",
        "reservoir_elevation",
        "reservoir_total_outflow",
        "reservoir_individual_outflows",
    ),
}


def encode_output(v):
    name = type(v).__name__
    if isinstance(v, float):
        return fbits(v)
    if name in ("ContinuousTimeSeries", "IncrementalTimeSeries"):
        return {
            "class": name,
            "kind": v.kind,
            "time_step_s": v.time_step.days * 86400 + v.time_step.seconds,
            "data": [fbits(x) for x in v.data],
        }
    if isinstance(v, tuple):
        return [encode_output(x) for x in v]
    if isinstance(v, dict):
        return {k: encode_output(x) for k, x in sorted(v.items())}
    if name in RESULT_FIELDS:
        return {"class": name, **{f: encode_output(getattr(v, f)) for f in RESULT_FIELDS[name]}}
    raise TypeError(f"cannot encode result of type {name}")


def run_case(case):
    """The encoded output of one stored case."""
    fn = resolve(case["function"])
    args = [decode_input(a) for a in case["args"]]
    return encode_output(fn(*args))


def first_difference(expected, actual, path="result"):
    """Where two encoded outputs part, with the floats spelled out; None if equal."""
    if type(expected) is not type(actual):
        return f"{path}: {type(expected).__name__} against {type(actual).__name__}"
    if isinstance(expected, dict):
        if set(expected) != set(actual):
            return f"{path}: keys {sorted(expected)} against {sorted(actual)}"
        for k in expected:
            d = first_difference(expected[k], actual[k], f"{path}.{k}")
            if d:
                return d
        return None
    if isinstance(expected, list):
        if len(expected) != len(actual):
            return f"{path}: {len(expected)} values against {len(actual)}"
        for i, (a, b) in enumerate(zip(expected, actual)):
            d = first_difference(a, b, f"{path}[{i}]")
            if d:
                return d
        return None
    if expected != actual:
        if isinstance(expected, str) and len(expected) == 16:
            return f"{path}: expected {unbits(expected)!r} ({expected}), got {unbits(actual)!r} ({actual})"
        return f"{path}: expected {expected!r}, got {actual!r}"
    return None
