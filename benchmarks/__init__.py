"""basinkit's benchmarks: `python -m benchmarks --list` names them; the
harness (agreement, timing, results) is benchmarks/harness.py."""
