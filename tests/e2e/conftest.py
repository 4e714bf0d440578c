"""Shared set-up of the end-to-end suite.

The suite runs against one build: the native Linux programs, or the Windows
programs under Wine. Choose with --build-dir and --target (native or win).
Paths are passed to the programs as Linux paths; the Windows build resolves
them to Z:\\... itself.
"""
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest


def pytest_addoption(parser):
    parser.addoption("--build-dir", default=None, help="build folder holding the programs")
    parser.addoption("--target", default="native", choices=["native", "win"], help="which build")
    parser.addoption("--copies", default=None, help="file copies at once: tarn runs get -j<copies> first")


class Target:
    def __init__(self, build_dir, kind, copies=None):
        self.build_dir = build_dir
        self.kind = kind
        self.copies = copies

    @property
    def is_wine(self):
        return self.kind == "win"

    @property
    def thread_sanitized(self):
        """Whether tarn is a thread-sanitizer build."""
        with open(self.program("tarn"), "rb") as f:
            return b"__tsan_init" in f.read()

    def program(self, name):
        """Path of a built program (tarn, or a test program), or None."""
        path = os.path.join(self.build_dir, name + (".exe" if self.is_wine else ""))
        return path if os.path.exists(path) else None

    def command(self, name, *args):
        path = self.program(name)
        if path is None:
            pytest.skip(f"{name} is not built for {self.kind}")
        args = [str(a) for a in args]
        if self.copies and name == "tarn" and args:
            args = [f"-j{self.copies}"] + args
        return (["wine", path] if self.is_wine else [path]) + args

    def run(self, name, *args, timeout=120, **kw):
        """Runs a program to the end; returns CompletedProcess with bytes.
        The output goes through files, not pipes: a process the program's
        run starts (Wine starts its desktop process at the first window)
        inherits the handles and would hold a pipe open after the end."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            r = subprocess.run(self.command(name, *args), stdout=out, stderr=err,
                               stdin=kw.pop("stdin", subprocess.DEVNULL), timeout=timeout, **kw)
            out.seek(0)
            err.seek(0)
            r.stdout, r.stderr = out.read(), err.read()
        return r

    def start(self, name, *args, **kw):
        """Starts a program; returns Popen with stdout piped."""
        return subprocess.Popen(self.command(name, *args), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=kw.pop("stdin", subprocess.DEVNULL), **kw)


@pytest.fixture(scope="session")
def target(request):
    build_dir = request.config.getoption("--build-dir")
    kind = request.config.getoption("--target")
    if build_dir is None:
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        build_dir = os.path.join(root, "build", kind)
    if kind == "win" and shutil.which("wine") is None:
        pytest.skip("wine is not installed")
    return Target(os.path.abspath(build_dir), kind, request.config.getoption("--copies"))


def _sentinel_state(folder, skip):
    """Every entry below folder except the subtree `skip`: mode, and for a
    file its bytes and write time, so any read-only change, write or removal
    shows."""
    state = {}
    for here, dirs, files in os.walk(folder):
        dirs[:] = [d for d in dirs if os.path.join(here, d) != skip]
        for name in dirs + files:
            path = os.path.join(here, name)
            st = os.lstat(path)
            data, mtime = b"", None   # a folder's time changes with what tests put beside
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    data, mtime = f.read(), st.st_mtime_ns
            state[os.path.relpath(path, folder)] = (st.st_mode, mtime, data)
    return state


@pytest.fixture
def tmp_path(tmp_path_factory):
    """Each test's folder, with sentinels beside it and above it (canaries):
    the test fails if a run read-only-marked, changed, removed or added
    anything there. Nothing outside a run's two trees may change."""
    top = str(tmp_path_factory.mktemp("canary"))
    beside = os.path.join(top, "box")
    work = os.path.join(beside, "work")
    os.makedirs(work)
    for folder in (top, beside):
        with open(os.path.join(folder, "canary.txt"), "w") as f:
            f.write("sentinel " + folder)
        os.makedirs(os.path.join(folder, "victim"))
        with open(os.path.join(folder, "victim", "keep.txt"), "w") as f:
            f.write("keep")
    before = _sentinel_state(top, work)
    yield pathlib.Path(work)
    after = _sentinel_state(top, work)
    # Tests may leave their own files beside (logs); the sentinels must stay.
    assert {k: after.get(k) for k in before} == before, "a sentinel outside the test's trees changed"
