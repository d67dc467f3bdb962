"""Fuzzing harness for the basinkit extension: hostile argument objects, a
choice source that replays byte strings or draws from hypothesis, and a
driver that calls every public entry point and judges the outcome."""
