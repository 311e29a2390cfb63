import gc
import sys

import pytest


@pytest.fixture
def core():
    import calvenor._core as core

    return core


def allocated_blocks_after(fn, rounds=3, calls=2000):
    """Blocks still allocated after running `fn` many times; flat means no leak."""
    for _ in range(calls):  # warm-up: caches, interned strings, free lists
        fn()
    gc.collect()
    counts = []
    for _ in range(rounds):
        for _ in range(calls):
            fn()
        gc.collect()
        counts.append(sys.getallocatedblocks())
    return counts


def assert_no_leak(fn, calls=2000, tolerance=50):
    counts = allocated_blocks_after(fn, calls=calls)
    assert counts[-1] - counts[0] <= tolerance, f"allocated blocks grew: {counts}"
