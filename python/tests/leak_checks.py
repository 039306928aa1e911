"""Leak checks shared by the suites: Python blocks and resident memory
left behind by repeated calls."""

import gc
import os
import sys
import unittest


def allocated_growth(action, rounds=300, warmup=50):
    """Blocks still allocated after `rounds` more calls of `action` than
    after a warm-up; near zero unless a call leaks Python objects."""
    for _ in range(warmup):
        action()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE") // 1024


def rss_growth_kib(action, rounds=20000):
    """Resident memory gained over `rounds` calls after a warm-up: bounded
    unless a call leaks engine memory. Under the sanitizer build freed
    memory is held back on purpose, so the figure means nothing there and
    LeakSanitizer does the checking instead."""
    if os.environ.get("VOSTREL_SANITIZED"):
        raise unittest.SkipTest("resident memory is not a leak measure under the sanitizers")
    for _ in range(2000):
        action()
    before = rss_kib()
    for _ in range(rounds):
        action()
    return rss_kib() - before
