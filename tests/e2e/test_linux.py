"""What the Linux program keeps that the Windows one has no notion of:
permission bits and owners, special files, names that are any bytes, POSIX
paths in the output, and a second stop signal."""
import glob
import io
import itertools
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile

import pytest

from tree import fs_target, build, tarn, write_file, BASE_TIME, ENTRIES_FAILED

LONG = b"n" * 255

# Source entries: (name, kind, mode, output line of the first run). Kinds:
# file, dir (contents follow as name/...), fifo, socket, device. Lines are in
# the program's order.
ENTRIES = [
    (b' a:*?"<>| .', "file", 0o644, '+  a:*?"<>| .'),
    (b"...", "dir", 0o700, "+ ..."),
    (b".../x", "file", 0o644, "+ .../x"),
    (b"back\\slash", "file", 0o644, "+ back\\\\slash"),
    # The character U+F7FF and the byte 0xFF stay two names.
    (b"bad\xef\x9f\xbfname", "file", 0o644, "+ bad\uf7ffname"),
    (b"bad\xffname", "file", 0o600, "+ bad\\xFFname"),
    (b"fifo", "fifo", 0o644, 'WARNING: unable to open "fifo"'),
    (b"key", "file", 0o600, "+ key"),
    (b"locked", "dir", 0o555, "+ locked"),
    (b"locked/inner", "file", 0o640, "+ locked/inner"),
    (b"new\nline", "file", 0o644, "+ new\\nline"),
    (LONG, "file", 0o644, "+ " + LONG.decode()),
    (b"node", "device", 0o644, 'WARNING: unable to open "node"'),
    (b"ro", "file", 0o444, "+ ro"),
    (b"run.sh", "file", 0o755, "+ run.sh"),
    (b"set-id", "file", 0o6755, "+ set-id"),
    (b"shared", "dir", 0o2775, "+ shared"),
    (b"sock", "socket", 0o755, 'WARNING: unable to open "sock"'),
]
SPECIAL = ("fifo", "socket", "device")


@pytest.fixture
def native(fs_target):
    if fs_target.is_wine:
        pytest.skip("Linux program only")
    return fs_target


def make_entry(root, name, kind, mode):
    path = os.path.join(root, name)
    if kind == "file":
        write_file(path, b"data of " + name)
    elif kind == "dir":
        os.makedirs(path)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(path)
    elif kind == "device":
        os.mknod(path, stat.S_IFCHR | 0o644, os.makedev(1, 3))
    return path


def build_source(root):
    """The ENTRIES tree; the device node only where it can be made."""
    os.makedirs(root)
    entries = []
    for name, kind, mode, line in ENTRIES:
        try:
            path = make_entry(root, name, kind, mode)
        except PermissionError:
            continue  # no device nodes without privilege
        entries.append((name, kind, mode, line))
    # Modes last, deepest first, so that read-only folders still take their contents.
    for name, kind, mode, _ in reversed(entries):
        os.chmod(os.path.join(root, name), mode)
        if kind == "file":
            os.utime(os.path.join(root, name), (BASE_TIME, BASE_TIME))
    return entries


def test_permissions_specials_and_names(native, tmp_path):
    src, dst = os.fsencode(tmp_path / "src"), os.fsencode(tmp_path / "dst")
    entries = build_source(src)
    if os.geteuid() == 0:
        os.lchown(os.path.join(src, b"key"), 1234, 5678)
        os.symlink(b"key", os.path.join(src, b"link"))
        os.lchown(os.path.join(src, b"link"), 4321, 8765)
        after_key = [e[0] for e in entries].index(b"key") + 1
        entries.insert(after_key, (b"link", "link", None, "+ link"))
    r = tarn(native, tmp_path / "src", tmp_path / "dst")
    assert r.status == 0
    assert r.header == f"source: {tmp_path / 'src'}\ntarget: {tmp_path / 'dst'}\n"
    assert r.body == "".join(line + "\n" for *_, line in entries)
    for name, kind, mode, _ in entries:
        s, t = os.path.join(src, name), os.path.join(dst, name)
        if kind in SPECIAL:
            assert not os.path.lexists(t), name
            continue
        ss, ts = os.lstat(s), os.lstat(t)
        assert stat.S_IFMT(ss.st_mode) == stat.S_IFMT(ts.st_mode), name
        if kind != "link":
            assert oct(stat.S_IMODE(ts.st_mode)) == oct(mode), name
        if kind == "file":
            assert open(t, "rb").read() == open(s, "rb").read(), name
            assert ts.st_mtime_ns == ss.st_mtime_ns, name
        if os.geteuid() == 0:
            assert (ts.st_uid, ts.st_gid) == (ss.st_uid, ss.st_gid), name
    assert stat.S_IMODE(os.stat(dst).st_mode) == stat.S_IMODE(os.stat(src).st_mode)
    # Again: every entry identical, the special files warned about again.
    r = tarn(native, "-v", tmp_path / "src", tmp_path / "dst")
    assert r.status == 0
    lines = [line for *_, line in entries]
    again = [l if l.startswith("WARNING") else "= " + l[2:] for l in lines]
    # Folders are identical before and after their contents.
    again += ["= " + name.decode() for name, kind, *_ in entries if kind == "dir"]
    assert sorted(r.body.splitlines()) == sorted(again)
    # Identical entries whose mode or owner drifted in the target take the
    # source's again (a private file widened, a set-id bit lost, folders and
    # the root changed, owners changed where that can be done); the rest stay.
    os.chmod(os.path.join(dst, b"key"), 0o644)
    os.chmod(os.path.join(dst, b"set-id"), 0o755)
    os.chmod(os.path.join(dst, b"shared"), 0o755)
    os.chmod(os.path.join(dst, b"..."), 0o750)
    os.chmod(dst, 0o700)
    if os.geteuid() == 0:
        os.lchown(os.path.join(dst, b"run.sh"), 0, 42)
        os.lchown(os.path.join(dst, b"link"), 42, 0)
    r = tarn(native, "-q", tmp_path / "src", tmp_path / "dst")
    assert r.status == 0
    for name, kind, *_ in entries:
        if kind in SPECIAL:
            continue
        ss, ts = os.lstat(os.path.join(src, name)), os.lstat(os.path.join(dst, name))
        if kind != "link":
            assert oct(stat.S_IMODE(ts.st_mode)) == oct(stat.S_IMODE(ss.st_mode)), name
        assert (ts.st_uid, ts.st_gid) == (ss.st_uid, ss.st_gid), name
    assert stat.S_IMODE(os.stat(dst).st_mode) == stat.S_IMODE(os.stat(src).st_mode)


def test_special_files_in_target(native, tmp_path):
    src = build(tmp_path / "src", {"f": "new file", "keep": "k"})
    dst = build(tmp_path / "dst", {"keep": "k"})
    os.mkfifo(tmp_path / "dst" / "f")
    os.mkfifo(tmp_path / "dst" / "extra-fifo")
    with socket.socket(socket.AF_UNIX) as s:
        s.bind(str(tmp_path / "dst" / "extra-sock"))
    r = tarn(native, "-v", src, dst, timeout=60)
    assert (r.status, r.body) == (0, "? extra-fifo\n? extra-sock\n- f\n+ f\n= keep\n")
    assert open(tmp_path / "dst" / "f", "rb").read() == b"new file"
    r = tarn(native, "-d", src, dst, timeout=60)
    assert (r.status, r.body) == (0, "- extra-fifo\n- extra-sock\n==\n")
    assert sorted(os.listdir(dst)) == ["f", "keep"]


@pytest.mark.parametrize("swapped_in", [os.mkfifo, lambda p: os.mknod(p, stat.S_IFCHR, os.makedev(1, 5))])
def test_source_file_swapped_at_its_open(native, tmp_path, swapped_in):
    """A listed file that is a FIFO or /dev/zero when opened: the run neither
    blocks nor reads it, warns and writes nothing in its place."""
    src, dst, other = build(tmp_path / "src", {"a": "a", "f": "f"}), tmp_path / "dst", str(tmp_path / "x")
    swapped_in(other)
    env = dict(os.environ, LD_PRELOAD=native.program("libswap_at_open.so"), SWAP_NAME="f", SWAP_WITH=other,
               ASAN_OPTIONS="verify_asan_link_order=0")
    r = native.run("tarn", src, dst, env=env, timeout=30)
    assert r.stdout.endswith(b'WARNING: unable to open "f"\n') and not os.path.exists(other), r.stdout
    assert os.listdir(dst) == ["a"]


LINK_ITSELF = ("readlink", "symlinkat", "unlinkat", "renameat")  # whatever their flags


def test_links_are_never_followed(native, tmp_path):
    """No call of a run, in the source or the target, follows a link, not even
    for its status (what it points to may hang); links are copied as links."""
    src, dst = build(tmp_path / "src", {"d": {"f": "f"}}), build(tmp_path / "dst", {"d": {}})
    for text, link in (("/tmp", src + "/d/abs"), ("../d/f", src + "/d/rel"), ("/none/x", dst + "/d/extra")):
        os.symlink(text, link)
    for args in (["-v", src, dst], ["-d", "-v", src, dst]):
        trace = str(tmp_path / args[0])  # a file per thread: no call split in two
        subprocess.run(["strace", "-ff", "-qq", "-o", trace, native.program("tarn"), *args], check=True, timeout=60,
                       env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # no leak check under a tracer
        calls = [c for t in glob.glob(trace + ".*") for c in open(t) if re.search(r'/?(abs|rel|extra)", ', c)]
        assert calls and not [c for c in calls if "NOFOLLOW" not in c and not c.startswith(LINK_ITSELF)]
    assert (os.readlink(dst + "/d/abs"), os.readlink(dst + "/d/rel"), os.listdir(dst + "/d").count("extra")) == (
        "/tmp", "../d/f", 0)


def test_partial_private_file_is_never_wider(native, tmp_path):
    size = 256 << 20
    src = tmp_path / "src"
    write_file(str(src / "private"), b"")
    os.truncate(src / "private", size)
    os.chmod(src / "private", 0o600)
    partial = tmp_path / "dst" / "private"
    proc = native.start("tarn", src, tmp_path / "dst")
    seen = set()
    while proc.poll() is None:
        try:
            st = os.stat(partial)
        except FileNotFoundError:
            continue
        seen.add((stat.S_IMODE(st.st_mode), st.st_size == size))
    assert proc.wait(timeout=120) == 0
    assert all(mode & 0o077 == 0 for mode, _ in seen), seen
    assert stat.S_IMODE(os.stat(partial).st_mode) == 0o600


def test_unprivileged_unreadable_source_removes_nothing(native):
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv to run as another user")
    root = tempfile.mkdtemp()
    try:
        os.chmod(root, 0o755)
        src = build(os.path.join(root, "src"), {"a": "a", "closed": {"c": "c"}, "secret": "newer"})
        dst = build(os.path.join(root, "dst"), {"closed": {"c": "c", "old": "o"}, "secret": "old", "z": "z"})
        for folder, dirs, files in os.walk(root):
            for name in [folder] + [os.path.join(folder, n) for n in files]:
                os.chown(name, 65534, 65534)
        os.chmod(os.path.join(src, "secret"), 0)
        os.chmod(os.path.join(src, "closed"), 0)
        program = native.command("tarn", "-d", src, dst)
        r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + program,
                           stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=60)
        body = r.stdout.decode().split("\n", 2)[2]
        # The unlisted folder's target entries and the extra z stay (?).
        assert (r.returncode, body) == (ENTRIES_FAILED, '+ a\nWARNING: unable to open "closed"\n=\n'
                                                        'WARNING: deletions held back in "closed"\n??=\n'
                                                        'WARNING: unable to open "secret"\n'
                                                        'WARNING: deletions held back in "."\n?\n')
        os.chmod(os.path.join(src, "closed"), 0o755)
        assert sorted(os.listdir(dst)) == ["a", "closed", "secret", "z"]
        assert sorted(os.listdir(os.path.join(dst, "closed"))) == ["c", "old"]
        assert open(os.path.join(dst, "secret")).read() == "old"
    finally:
        for folder, dirs, _ in os.walk(root):
            for d in dirs:
                os.chmod(os.path.join(folder, d), 0o755)
        shutil.rmtree(root)


def pending_mask(pid):
    with open(f"/proc/{pid}/status") as f:
        fields = dict(line.split(":", 1) for line in f if ":" in line)
    return int(fields["ShdPnd"], 16) | int(fields["SigPnd"], 16)


def test_second_stop_signal_ends_a_blocked_run(native, tmp_path):
    # Enough output to fill the pipe that is not read: the run blocks in a
    # write, where the first SIGTERM cannot stop it; the second ends it.
    build(tmp_path / "src", {f"{i:05d}-" + "x" * 200: "" for i in range(2000)})
    proc = native.start("tarn", tmp_path / "src", tmp_path / "dst")
    try:
        syscall = f"/proc/{proc.pid}/syscall"
        while open(syscall).read().split()[0] != "1":  # write(2)
            assert proc.poll() is None
        proc.send_signal(signal.SIGTERM)
        # The second must not merge with the first: wait until it is taken.
        while pending_mask(proc.pid) & (1 << (signal.SIGTERM - 1)):
            pass
        assert proc.poll() is None
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=60) == -signal.SIGTERM
    finally:
        proc.kill()
        proc.wait()



def _chain(root, depth=0):
    """Builds (to a depth) and reads a chain of folders of 200-byte names, each
    holding f.txt, through descriptors: its paths pass the system's limit."""
    fd, levels = os.open(root, os.O_RDONLY), []
    for i in itertools.count():
        if i < depth:
            os.mkdir(b"%05d" % i + b"x" * 195, dir_fd=fd)
            with open(os.open("f.txt", os.O_WRONLY | os.O_CREAT, dir_fd=fd), "wb") as f:
                f.write(b"%d" % i)
        names = sorted(os.listdir(fd))
        with open(os.open("f.txt", os.O_RDONLY, dir_fd=fd), "rb") if "f.txt" in names else io.BytesIO() as f:
            levels.append((names, f.read()))
        if names in ([], ["f.txt"]):
            os.close(fd)
            return levels
        fd, old = os.open(names[0], os.O_RDONLY, dir_fd=fd), fd
        os.close(old)


def test_deep_tree_costs_memory_by_path_not_depth_times_path(native, tmp_path):
    # 3,000 levels: paths of 600 KB. Keeping each level's path costs
    # gigabytes; keeping its name, kilobytes; 64 MiB holds each level's open
    # folder, though not a path of the system's length for each. Sanitizer
    # builds (whose memory says nothing) walk a shallower tree of long paths.
    src, dst = tmp_path / "src", tmp_path / "dst"
    src.mkdir()
    try:
        sanitized = native.thread_sanitized or b"__asan_init" in open(native.program("tarn"), "rb").read()
        depth = 300 if sanitized else 3000
        expected = _chain(src, depth)
        for marks in (2 * depth, 0):  # the copy, then a run with nothing to do
            with tempfile.TemporaryFile() as out:
                proc = subprocess.Popen(native.command("tarn", "-q", src, dst), stdout=out, stderr=out)
                _, status, usage = os.wait4(proc.pid, 0)
                proc.returncode = os.waitstatus_to_exitcode(status)
                out.seek(0)
                output = out.read()
            assert status == 0 and output.count(b"+") == marks and b"WARNING" not in output, output[-300:]
            assert sanitized or usage.ru_maxrss < 64 * 1024, usage.ru_maxrss
            assert _chain(dst) == expected
    finally:
        subprocess.run(["rm", "-rf", src, dst])
