"""Helpers of the end-to-end suite: build folder trees, run the program,
split its output, and compare trees independently of what it reports."""
import os
import signal
import stat
import subprocess
import tempfile
import time
from dataclasses import dataclass

import pytest

# A fixed, whole-second write time for built files (2021-03-04 05:06:07 UTC).
BASE_TIME = 1614834367
# The status of a run that finished with failed entries.
ENTRIES_FAILED = 25


def write_file(path, data=b"", mtime=BASE_TIME):
    """Writes a file (bytes or str) and sets its write time in seconds."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(path, "wb") as f:
        f.write(data)
    if mtime is not None:
        set_mtime(path, mtime)


def set_mtime(path, seconds):
    os.utime(path, ns=(int(seconds * 1_000_000_000), int(seconds * 1_000_000_000)), follow_symlinks=False)


def build(root, spec, mtime=BASE_TIME):
    """Builds a tree: spec maps names to bytes/str (a file) or to a dict (a
    folder). Returns root as a string."""
    root = str(root)
    os.makedirs(root, exist_ok=True)
    for name, value in spec.items():
        path = os.path.join(root, name)
        if isinstance(value, dict):
            build(path, value, mtime)
        else:
            write_file(path, value, mtime)
    return root


def snapshot(root):
    """Maps each relative path ('/' separated) below root to (kind, size,
    bytes, write time in ns); kind is 'file', 'dir' or 'link'."""
    result = {}
    root = str(root)
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                result[rel] = ("link", 0, os.readlink(path).encode(), None)
            elif stat.S_ISDIR(st.st_mode):
                result[rel] = ("dir", 0, b"", None)
            else:
                with open(path, "rb") as f:
                    result[rel] = ("file", st.st_size, f.read(), st.st_mtime_ns)
    return result


def assert_same_tree(source, target, times=True):
    """The target holds exactly the source's entries: names, kinds, sizes,
    bytes and (for files) write times within one microsecond."""
    s, t = snapshot(source), snapshot(target)
    assert sorted(s) == sorted(t), f"entries differ: only source {sorted(set(s) - set(t))}, only target {sorted(set(t) - set(s))}"
    for rel in s:
        sk, ss, sb, sm = s[rel]
        tk, ts, tb, tm = t[rel]
        assert (sk, ss) == (tk, ts), f"{rel}: {sk}/{ss} against {tk}/{ts}"
        assert sb == tb, f"{rel}: contents differ"
        if times and sk == "file":
            assert abs(sm - tm) < 1000, f"{rel}: write times {sm} and {tm}"


@dataclass
class Run:
    status: int
    out: bytes

    @property
    def text(self):
        return self.out.decode("utf-8", "replace")

    @property
    def header(self):
        """The leading source/target/filter lines."""
        lines = self.text.splitlines(keepends=True)
        n = 0
        while n < len(lines) and lines[n].startswith(("source: ", "target: ", "filter: ")):
            n += 1
        return "".join(lines[:n])

    @property
    def body(self):
        """Everything after the header lines."""
        return self.text[len(self.header):]


def tarn(target, *args, cwd=None, program="tarn", timeout=180):
    """Runs the program with the arguments; returns its status and output."""
    r = target.run(program, *args, cwd=cwd, timeout=timeout)
    return Run(r.returncode, r.stdout)


def interrupt_when(target, ready, *args, pause=0.01):
    """Starts tarn with the arguments, sends it SIGINT (Ctrl+C under Wine)
    once ready() holds, and returns its status and output."""
    p = target.start("tarn", *args)
    try:
        deadline = time.time() + 120
        while not ready():
            assert p.poll() is None, "the run ended before it was interrupted"
            assert time.time() < deadline, "the run did not get there"
            time.sleep(pause)
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=120)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    return p.returncode, out


def shown(target, path):
    """A Linux path as the program shows it once resolved: the Windows build
    reaches / through drive Z: and prints '\\'; the Linux build prints the
    path itself."""
    path = os.path.abspath(str(path))
    if target.is_wine:
        return "Z:" + path.replace("/", "\\")
    return path


def out(target, text):
    """Output written with '/' between the names of a relative path, as the
    program under test prints it ('\\' on Windows)."""
    return text.replace("/", "\\") if target.is_wine else text


def is_readonly(path):
    return not (os.stat(path).st_mode & stat.S_IWUSR)


_file_layer_usable = {}


def require_file_layer(target):
    """Skips the calling test when the build cannot list a folder yet (the
    POSIX layer gains the native directory calls later)."""
    if target.kind not in _file_layer_usable:
        with tempfile.TemporaryDirectory() as tmp:
            src = build(os.path.join(tmp, "src"), {"f": "f"})
            r = tarn(target, "-q", "-q", "-t", src, os.path.join(tmp, "dst"))
            _file_layer_usable[target.kind] = r.status == 0
    if not _file_layer_usable[target.kind]:
        pytest.skip(f"the {target.kind} build cannot list folders yet (no native directory calls)")


@pytest.fixture
def fs_target(target):
    """The target, for tests that need folders listed and files copied."""
    require_file_layer(target)
    return target
