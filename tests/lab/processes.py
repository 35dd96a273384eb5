"""Skipping, waiting, reading the pipes of processes and ending them (by
their PID only)."""

import contextlib
import os
import signal
import subprocess
import sys
import threading
import time

from .plan import DEADLINE, SKIP


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(SKIP)


def stop_on_sigterm():
    """Turns SIGTERM (a test runner's time-out) into an exception, so that
    cleanup code runs."""
    def handler(signum, frame):
        raise SystemExit(f"stopped by signal {signum}")
    signal.signal(signal.SIGTERM, handler)


def wait_until(predicate, timeout=DEADLINE, interval=0.01):
    """Polls `predicate` until it returns something true or the time is up;
    returns its last value."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(interval)


def whole_lines(data):
    """The lines of `data` (bytes) that have ended; the last may still be on
    its way."""
    return data.decode(errors="replace").split("\n")[:-1]


class Stream:
    """Collects what a process writes to one of its pipes, on a thread."""

    def __init__(self, pipe):
        self._data = bytearray()
        self._lock = threading.RLock()  # Predicates may read the data again.
        self._changed = threading.Condition(self._lock)
        self.closed = False
        self._thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self._thread.start()

    def _read(self, pipe):
        while True:
            chunk = os.read(pipe.fileno(), 65536)
            with self._lock:
                if not chunk:
                    self.closed = True
                else:
                    self._data += chunk
                self._changed.notify_all()
            if not chunk:
                return

    def data(self):
        with self._lock:
            return bytes(self._data)

    def wait_for(self, predicate, timeout=DEADLINE):
        """Waits until predicate(data) holds or the stream ends; returns the data."""
        end = time.monotonic() + timeout
        with self._lock:
            while not predicate(bytes(self._data)) and not self.closed:
                left = end - time.monotonic()
                if left <= 0:
                    break
                self._changed.wait(left)
            return bytes(self._data)

    def wait_closed(self, timeout=DEADLINE):
        """Waits until the writer has closed the pipe; returns all it wrote."""
        return self.wait_for(lambda _: False, timeout)


def terminate(process, timeout=5):
    """Ends a process the lab's user started, by its PID: SIGTERM, then
    SIGKILL if it has not ended within `timeout` seconds."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def end_processes_in(namespace, spare=None):
    """Ends every process in the named network namespace but `spare`, each by
    its PID: SIGTERM, then SIGKILL for any still there a second later."""
    def pids():
        listed = subprocess.run(["ip", "netns", "pids", namespace], capture_output=True, text=True).stdout
        return [pid for pid in map(int, listed.split()) if pid not in (spare, os.getpid())]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in pids():
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, sig)
        if wait_until(lambda: not pids(), timeout=1.0, interval=0.05):
            return
