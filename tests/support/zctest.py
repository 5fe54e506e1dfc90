"""What the Python tests of a real zanti-connect share: free loopback ports, waiting with a bound,
PASS/FAIL lines and the skip status ctest knows."""
import os
import shutil
import socket
import time

# The key the phone app sends in every command and discovery request.
APPLICATION_KEY = "Q7w4R#2k81M5T!x09P3Z"
# ctest's SKIP_RETURN_CODE for these tests: a tool they need is not installed.
SKIP = 77


def free_port(avoid=()):
    """A port free for both TCP and UDP on loopback, since the command servers share one number."""
    for _ in range(50):
        with socket.socket() as tcp, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            if port in avoid:
                continue
            try:
                udp.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise AssertionError("no port free for TCP and UDP")


def wait_for(what, condition, timeout=15.0, ignoring=()):
    """The condition's first true value; an exception of the kinds in `ignoring` counts as false."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
        except ignoring:
            value = None
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"waited {timeout:g} s in vain for {what}")
        time.sleep(0.02)


def missing_tools(*tools):
    return [tool for tool in tools if not (shutil.which(tool) or os.access(tool, os.X_OK))]


class Checks:
    """PASS and FAIL lines, and the closing count ctest's log reader knows."""

    def __init__(self):
        self.passed = self.failed = 0

    def __call__(self, name, condition, detail=""):
        self.passed += bool(condition)
        self.failed += not condition
        print(("PASS " if condition else "FAIL ") + name + ("" if condition else f": {detail}"))

    def close(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 1 if self.failed else 0
