"""Fanning a batch of parameter sets out to workers, in order, whatever the workers are.

A batch is cut into slices; each slice is one task and the results come back
in the order of the sets, so that nothing downstream depends on who ran what.
"""

from __future__ import annotations

import concurrent.futures
import math
import multiprocessing
import os
import signal
import sys
from collections.abc import Callable, Sequence
from typing import Any, Protocol, TypeVar, Union

T = TypeVar("T")
R = TypeVar("R")


class _Submitter(Protocol):
    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Any: ...


Workers = Union[int, _Submitter, Callable[..., Any]]
"""1 (in this thread), a number of local workers, a map-like callable such as
`pool.map`, a `concurrent.futures.Executor` or a Dask `Client`."""


def _gil_enabled() -> bool:
    probe = getattr(sys, "_is_gil_enabled", None)
    return True if probe is None else bool(probe())


def _quiet() -> None:
    # Ctrl-C is the parent's to handle: it shuts the pool down after the slice at hand.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def check(workers: object) -> Workers:
    """The workers themselves, or a ValueError/TypeError saying what is accepted."""
    if isinstance(workers, bool):
        raise TypeError("workers must be an int, a map-like callable, a concurrent.futures.Executor or a Dask Client")
    if isinstance(workers, int):
        if workers < 1:
            raise ValueError(f"workers must be at least 1, got {workers!r}")
        return workers
    if hasattr(workers, "submit") or callable(workers):
        return workers
    raise TypeError("workers must be an int, a map-like callable, a concurrent.futures.Executor or a Dask Client")


def _resolve(item: Any) -> Any:
    # client.map hands back futures; pool.map the values themselves.
    done = getattr(item, "result", None)
    return done() if callable(done) and hasattr(item, "done") else item


class Fanout:
    """Runs `fn(slice)` over slices of a batch on the given workers; `close` shuts down what it started."""

    def __init__(self, workers: Workers, most: int) -> None:
        self._own: concurrent.futures.Executor | None = None
        self._submit: _Submitter | None = None
        self._map: Callable[..., Any] | None = None
        self._pending: list[Any] = []
        if isinstance(workers, int):
            count = max(1, min(workers, most))  # more would only sit idle
            self.slots = count
            if count > 1:
                if _gil_enabled():
                    self._own = concurrent.futures.ProcessPoolExecutor(
                        count, mp_context=multiprocessing.get_context("spawn"), initializer=_quiet
                    )
                else:
                    self._own = concurrent.futures.ThreadPoolExecutor(count)
                self._submit = self._own
        elif hasattr(workers, "submit"):
            self._submit = workers
            nthreads = getattr(workers, "nthreads", None)  # a Dask client says how many it has
            if callable(nthreads):
                self.slots = max(1, int(sum(dict(nthreads()).values())))
            else:
                self.slots = 2 * (os.cpu_count() or 1)
        else:
            self._map = workers
            self.slots = 2 * (os.cpu_count() or 1)

    @property
    def in_process(self) -> bool:
        """True when every set runs in this thread."""
        return self._submit is None and self._map is None

    def map(self, fn: Callable[[list[T]], list[R]], items: Sequence[T]) -> list[R]:
        """fn over slices of `items`, results concatenated in order."""
        rows = list(items)
        if self.in_process or len(rows) <= 1:
            return fn(rows) if rows else []
        size = max(1, math.ceil(len(rows) / self.slots))
        slices = [rows[i : i + size] for i in range(0, len(rows), size)]
        if self._submit is not None:
            self._pending = [self._submit.submit(fn, s) for s in slices]
            parts = [f.result() for f in self._pending]
            self._pending = []
        else:
            assert self._map is not None
            parts = [_resolve(p) for p in self._map(fn, slices)]
        return [r for part in parts for r in part]

    def close(self) -> None:
        """Cancels what is still queued and shuts down a pool started here (waiting for it)."""
        for f in self._pending:
            cancel = getattr(f, "cancel", None)
            if callable(cancel):
                cancel()
        self._pending = []
        if self._own is not None:
            self._own.shutdown(wait=True, cancel_futures=True)
            self._own = None
