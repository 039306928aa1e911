"""The deterministic core of an event-driven agent runtime.

Everything lives in the extension module ``vostrel._core``.
"""
