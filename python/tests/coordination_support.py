"""Helpers shared by the coordinator and network-session suites."""

from leak_checks import allocated_growth, rss_growth_kib


def growth_in_blocks(action, rounds=3000):
    return allocated_growth(action, rounds=rounds, warmup=100)


def growth_in_rss_kib(action, rounds=50000):
    return rss_growth_kib(action, rounds=rounds)


def failure_text(test, action, exc_type=ValueError):
    with test.assertRaises(exc_type) as caught:
        action()
    return str(caught.exception)
