"""Helpers shared by the coordinator and network-session suites."""

import gc
import os
import sys


def growth_in_blocks(action, rounds=3000):
    """Python memory blocks still allocated after `rounds` more calls of
    `action`, after a warm-up; near zero unless a call leaks objects."""
    for _ in range(100):
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


def growth_in_rss_kib(action, rounds=50000):
    """Resident-set growth over `rounds` calls after a warm-up; small unless
    a call leaks engine memory."""
    for _ in range(2000):
        action()
    before = rss_kib()
    for _ in range(rounds):
        action()
    return rss_kib() - before


def failure_text(test, action, exc_type=ValueError):
    with test.assertRaises(exc_type) as caught:
        action()
    return str(caught.exception)
