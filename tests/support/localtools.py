"""Helpers the Python test harnesses share: free loopback ports and bounded
waits."""

import socket
import time


def free_ports(count):
    """Distinct free TCP ports on 127.0.0.1 (bound together, then released)."""
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def wait_until(condition, timeout, what, interval=0.05):
    """Polls condition() until it returns something true; raises
    AssertionError after timeout seconds, naming what was awaited."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)
