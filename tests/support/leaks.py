"""Measuring leaks: how far traced memory grows over many calls.

A leaked object per call grows memory in every batch of calls; caches of the
interpreter and of LangChain fill during the warm-up and then only swing up
and down as they resize (by up to a megabyte on CPython 3.8, whose ABC caches
churn with the classes pydantic makes). So the measure is the smallest growth
of three batches after a warm-up, in bytes; tests compare it with a few bytes
per call.
"""

import contextlib
import gc
import io
import sys
import tracemalloc

# pydantic makes new classes for every agent (our two schemas, and LangChain
# makes schemas for the tools), and the interpreter's tables of subclasses
# and ABC caches grow by doubling as classes come and go: single blocks of 9
# to 144 KiB, now and then, long after a warm-up we could afford. What a leak
# of ours leaves behind is small blocks, one or more per call.
LARGE_BLOCK = 8192


class Discard(io.TextIOBase):
    """Standard output for the calls: printed lines kept by pytest's capture
    would grow with the calls being measured."""

    def write(self, text):
        return len(text)


def traced():
    """Traced memory in blocks under LARGE_BLOCK."""
    # The interpreter's method cache keeps a reference to the last name
    # looked up in each of its 4096 slots. Names that C++ code looks up are
    # new strings at every lookup and stay there until their slot is taken
    # again, which fills the cache slowly over many thousands of calls.
    sys._clear_type_cache()
    gc.collect()
    return sum(trace.size for trace in tracemalloc.take_snapshot().traces if trace.size < LARGE_BLOCK)


def growth(action, rounds, batches=3, warmup=None):
    """The smallest growth of traced memory over `batches` batches of
    `rounds` calls, after `warmup` calls (a third of a batch by default).
    Calls that make classes (every create_agent) churn the runtime's caches
    most, and deserve more batches; calls through LangChain's whole HTTP
    stack fill caches for longer on CPython 3.8, and deserve a longer
    warm-up."""
    with contextlib.redirect_stdout(Discard()):
        tracemalloc.start()
        try:
            for _ in range(rounds // 3 if warmup is None else warmup):
                action()
            grown = []
            for _ in range(batches):
                before = traced()
                for _ in range(rounds):
                    action()
                grown.append(traced() - before)
            return min(grown)
        finally:
            tracemalloc.stop()


def expect(error, call, *args, **kwargs):
    """An action that calls `call` and requires it to raise `error`."""

    def action():
        try:
            call(*args, **kwargs)
        except error:
            pass
        else:
            raise AssertionError("%s was expected" % error.__name__)

    return action


def reference_counts_after(calls, watched, rounds):
    """The reference counts of `watched` before and after `rounds` more
    rounds of `calls` (after one round to settle caches): a reference
    leaked on an argument shows as a count that only goes up."""
    for call in calls:
        call()
    before = [sys.getrefcount(value) for value in watched]
    for _ in range(rounds):
        for call in calls:
            call()
    gc.collect()
    return before, [sys.getrefcount(value) for value in watched]
