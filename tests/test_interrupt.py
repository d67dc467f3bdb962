"""Ctrl-C ends long calls: each runs in a child process that the test sends
SIGINT while the call computes. The call must end with KeyboardInterrupt
within a second, leave no memory behind, and the next call must give the
same values as an uninterrupted process.

A timer thread in the same process cannot deliver the signal on a build with
the global interpreter lock: the thread needs the lock, which the call keeps
until it returns. The child process gets the signal from the kernel instead.
"""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from cases import child_env
from catalogue import ENTRIES

# Seconds the parent waits, once the child has entered a call, before SIGINT.
DELAY = 0.2
# Longest time from SIGINT to the child reporting KeyboardInterrupt.
BOUND = 1.0

# name -> (catalogue entry, length, work) of a call that runs for seconds; the
# child then makes the entry's small call, whose result must be exact.
LONG_CALLS = {
    "muskingum_sub_reaches": ("muskingum", *ENTRIES["muskingum"].large),
    # Billions of one-second steps through every kind of outlet.
    "level_pool_long_step": ("level_pool", *ENTRIES["level_pool"].large),
    # The deep layer's chain alone is 80 MB.
    "baseflow_long_chain": ("baseflow", *ENTRIES["baseflow"].large),
    "clark_long_translation": ("clark", *ENTRIES["clark"].large),
    "clark_long_convolution": ("clark", 200_000, 200_000),
    # 71,582,788 pieces a value: gigabytes if it ran to its end.
    "disaggregate_large_output": ("disaggregate", *ENTRIES["disaggregate"].large),
}

CHILD = """
import os, signal, sys
from catalogue import ENTRIES, plain
# Whatever the parent left (a background job ignores SIGINT), Ctrl-C raises.
signal.signal(signal.SIGINT, signal.default_int_handler)

def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')

entry = ENTRIES[sys.argv[2]]
args = entry.args(int(sys.argv[3]), int(sys.argv[4]))
rss0 = None
for _ in range(int(sys.argv[1])):
    print('ready', flush=True)
    try:
        entry.call(args)
        print('finished', flush=True)
    except KeyboardInterrupt:
        print('interrupted', flush=True)
    if rss0 is None:
        rss0 = rss()
print('grew', rss() - rss0, flush=True)
print(repr(entry.run(entry.args())), flush=True)
"""


def _interrupt_child(name, rounds):
    entry, n, work = LONG_CALLS[name]
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(rounds), entry, str(n), str(work)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=child_env())
    # A child that ignores the signal would keep the test waiting for as long
    # as its call runs: stop waiting after a while.
    watchdog = threading.Timer(60, child.kill)
    watchdog.start()
    latencies = []
    try:
        for _ in range(rounds):
            assert child.stdout.readline() == "ready\n", child.stderr.read()
            time.sleep(DELAY)
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            outcome = child.stdout.readline()
            latencies.append(time.perf_counter() - sent)
            assert outcome == "interrupted\n", f"{outcome!r} {child.stderr.read()}"
        grew = child.stdout.readline().split()
        after = child.stdout.readline().rstrip("\n")
        assert child.wait(timeout=60) == 0, child.stderr.read()
    finally:
        watchdog.cancel()
        if child.poll() is None:
            child.kill()
            child.wait()
    assert grew[0] == "grew"
    return latencies, int(grew[1]), after


@pytest.mark.parametrize("name", LONG_CALLS)
def test_sigint_ends_a_long_call_and_the_next_call_is_exact(name):
    latencies, _, after = _interrupt_child(name, 1)
    assert latencies[0] < BOUND
    entry = ENTRIES[LONG_CALLS[name][0]]
    assert after == repr(entry.run(entry.args()))


@pytest.mark.skipif(bool(os.environ.get("BASINKIT_SANITIZED")),
                    reason="freed memory stays in the sanitizer's quarantine")
def test_interrupted_calls_leave_no_memory_behind():
    # The chain's state alone is 80 MB; a leak per interruption would show.
    latencies, grew, _ = _interrupt_child("baseflow_long_chain", 4)
    assert max(latencies) < BOUND
    assert grew < 40 * 1024 * 1024


def test_a_handler_that_does_not_raise_lets_the_call_finish():
    # Only an exception from the handler stops a call: a handler that merely
    # records the signal runs during the call (well before its end, not when
    # it returns), and the call then completes exactly.
    code = textwrap.dedent("""
        import signal, time
        from catalogue import ENTRIES
        seen = []
        signal.signal(signal.SIGALRM, lambda *a: seen.append(time.perf_counter()))
        entry = ENTRIES["muskingum"]
        args = entry.args(3, 3 * 10**7)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        start = time.perf_counter()
        out = entry.run(args)
        end = time.perf_counter()
        print(len(seen), start < seen[0] < start + (end - start) / 2, repr(out))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=300, env=child_env())
    assert run.returncode == 0, run.stderr
    count, during, data = run.stdout.split(" ", 2)
    assert (count, during) == ("1", "True")
    entry = ENTRIES["muskingum"]
    assert data.strip() == repr(entry.run(entry.args(3, 3 * 10**7)))
