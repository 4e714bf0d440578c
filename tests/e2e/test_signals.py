"""Console control and the hidden signal window, end to end.

signal_probe sets up the console control handler (and the window when there
is no console input) and reports the abort request; window_poster finds the
window "SignalWindow" from another process and posts to it. Every wait is
for a condition, bounded by a time-out.
"""
import os
import pty
import queue
import signal
import subprocess
import threading
import time

import pytest

LINE_TIMEOUT = 30
EXIT_TIMEOUT = 30
PROMPT_EXIT = 15  # seconds from "ready" to the end of the process


class Probe:
    """A running signal_probe whose output lines are read with a time-out."""

    def __init__(self, target, mode, console):
        self.pty = None
        stdin = subprocess.DEVNULL
        if console:
            master, slave = pty.openpty()
            self.pty = (master, slave)
            stdin = slave
        self.proc = target.start("signal_probe", mode, stdin=stdin)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("utf-8", "replace").strip())
        self.lines.put(None)

    def line(self, timeout=LINE_TIMEOUT):
        try:
            return self.lines.get(timeout=timeout)
        except queue.Empty:
            pytest.fail("signal_probe printed nothing for %d s" % timeout)

    def finish(self, timeout=EXIT_TIMEOUT):
        rc = self.proc.wait(timeout=timeout)
        rest = []
        while True:
            line = self.line()
            if line is None:
                break
            rest.append(line)
        return rc, rest

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if self.pty:
            for fd in self.pty:
                os.close(fd)


@pytest.fixture
def probes():
    started = []
    yield lambda target, mode, console: started.append(Probe(target, mode, console)) or started[-1]
    for p in started:
        p.close()


def poster(target, action):
    return target.run("window_poster", action, timeout=LINE_TIMEOUT).returncode


def expected_window(target, console):
    # The Windows program opens its window with a console too (log-off and
    # shut-down reach only windows); Linux has no window system.
    return "ready window=%d" % (1 if target.is_wine else 0)


@pytest.mark.parametrize("console", [True, False], ids=["console", "no-console"])
def test_sigint_raises_the_abort_request(target, probes, console):
    probe = probes(target, "wait", console)
    assert probe.line() == expected_window(target, console)
    probe.proc.send_signal(signal.SIGINT)
    assert probe.line() == "raised 1"
    rc, rest = probe.finish()
    assert rc == 0
    assert rest == ["teardown window=0"]


def test_window_close_request_raises_the_abort_request(target, probes):
    if not target.is_wine:
        pytest.skip("no window system on Linux")
    probe = probes(target, "wait-destroy", False)
    assert probe.line() == "ready window=1"
    assert poster(target, "find") == 0
    assert poster(target, "close") == 0
    assert probe.line() == "raised 1"
    assert poster(target, "find") == 0, "the window must stay after a close request"
    assert poster(target, "destroy") == 0
    assert probe.line() == "window gone"
    rc, rest = probe.finish()
    assert rc == 0
    assert rest == ["teardown window=0"]
    assert poster(target, "find") == 1


def test_end_of_session_raises_the_abort_request_on_a_console(target, probes):
    # The window takes log-off for a console program as well; its thread
    # then holds the window system off while the run winds down, and the
    # exit does not wait for it.
    if not target.is_wine:
        pytest.skip("no window system on Linux")
    probe = probes(target, "wait", True)
    assert probe.line() == "ready window=1"
    assert poster(target, "endsession") == 0
    assert probe.line() == "raised 1"
    start = time.monotonic()
    rc, rest = probe.finish(timeout=PROMPT_EXIT)
    assert time.monotonic() - start < PROMPT_EXIT
    assert rc == 0
    assert rest == ["teardown window=0"]


@pytest.mark.parametrize("console", [True, False], ids=["console", "no-console"])
def test_exit_is_prompt_with_and_without_the_window(target, probes, console):
    probe = probes(target, "exit", console)
    assert probe.line() == expected_window(target, console)
    start = time.monotonic()
    rc, rest = probe.finish(timeout=PROMPT_EXIT)
    assert time.monotonic() - start < PROMPT_EXIT
    assert rc == 0
    # The exit clean-up has closed the window and ended its thread.
    assert rest == ["teardown window=0"]


def test_exit_is_prompt_when_the_window_misses_the_close_request(target, probes):
    # The clean-up must not wait for a window thread that was never asked to
    # end; the thread then ends with the process.
    probe = probes(target, "exit-lost", False)
    assert probe.line() == expected_window(target, False)
    start = time.monotonic()
    rc, rest = probe.finish(timeout=PROMPT_EXIT)
    assert time.monotonic() - start < PROMPT_EXIT
    assert rc == 0
    assert rest == ["teardown window=%d" % (1 if target.is_wine else 0)]
