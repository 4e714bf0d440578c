"""A run never reads, writes or deletes anything outside its two trees:
names that are paths, overlapping trees, folders swapped for links while the
run is under way. The canary fixture (conftest) also watches every test."""
import fcntl
import os
import subprocess
import termios

import pytest

from tree import fs_target, assert_same_tree, build, out, shown, snapshot, tarn, ENTRIES_FAILED


def test_names_that_are_paths_are_read_errors(fs_target, tmp_path):
    """An entry whose name holds the program's separator is a read error for
    its folder: nothing is read or deleted through it, and after a source
    folder with such an entry no extra target entry is removed. On Linux a
    backslash is an ordinary name character: such names round-trip and the
    mirror stays inside the target."""
    target = fs_target
    outside = build(tmp_path / "victim", {"keep": "outside"})
    src = build(tmp_path / "src", {"a": "a", "sub": {"..\\..\\victim\\keep": "evil", "ok": "ok"}, "z": "z"})
    dst = build(tmp_path / "dst", {"sub": {"..\\..\\victim": {"keep": "k"}}, "y": "extra", "zz": "extra"})
    before = snapshot(outside)
    r = tarn(target, "-d", src, dst)
    # Windows cannot open them (failures); on Linux they are names like any other.
    assert r.status == (ENTRIES_FAILED if target.is_wine else 0)
    assert snapshot(outside) == before
    if not target.is_wine:
        assert_same_tree(src, dst)
        return
    assert "- " not in r.body
    have = snapshot(dst)
    assert {"a", "z", "y", "zz", "sub/..\\..\\victim/keep"} <= set(have)
    assert "sub/..\\..\\victim\\keep" not in have


@pytest.mark.parametrize("args", [["-a"], ["-a", "-d"], ["-d", "-i"], ["-k", "-d"]])
def test_source_and_target_the_same_folder(fs_target, tmp_path, args):
    """The same folder given twice (another spelling, a link to it) is left
    exactly as it was under every switch; a hard link pair is identical."""
    target = fs_target
    src = build(tmp_path / "src", {"a": "a", "sub": {"b": "b"}, "ro": "r"})
    os.chmod(os.path.join(src, "ro"), 0o444)
    dst = build(tmp_path / "dst", {"a": "a"})
    os.link(os.path.join(src, "ro"), os.path.join(dst, "ro"))
    alias = tmp_path / "alias"
    os.symlink(src, alias)
    before = snapshot(tmp_path)
    for second in (src, os.path.join(src, "sub", ".."), alias):
        r = tarn(target, "-q", "-q", *args, src, second)
        assert (r.status, r.body) == (0, "")
    assert snapshot(tmp_path) == before
    # A hard link pair counts as identical; the other pair is copied.
    r = tarn(target, *args, src, dst)
    assert r.status == 0
    assert "- ro\n" not in r.body and "+ ro\n" not in r.body
    assert os.stat(os.path.join(dst, "ro")).st_ino == os.stat(os.path.join(src, "ro")).st_ino
    assert open(os.path.join(src, "ro")).read() == "r"


def test_nested_trees(fs_target, tmp_path):
    """The target's own folder is never copied into itself; the source is
    never removed from a target that holds it."""
    target = fs_target
    # Source inside the target: the source is left out of the target walk.
    outer = build(tmp_path / "outer", {"inner": {"f": "data", "g": {"h": "h"}}, "extra": "x"})
    inner = os.path.join(outer, "inner")
    r = tarn(target, "-d", inner, outer)
    assert (r.status, r.body) == (0, out(target, "- extra\n+ f\n+ g\n+ g/h\n"))
    assert sorted(snapshot(outer)) == ["f", "g", "g/h", "inner", "inner/f", "inner/g", "inner/g/h"]
    # The same, from the current folder towards its parent.
    r = tarn(target, "-d", "-t", ".", "..", cwd=inner)
    assert (r.status, r.body) == (0, "====\n")

    # Target inside the source: runs after the first find nothing to do.
    src = build(tmp_path / "src", {"a": "a", "backup": {}})
    backup = os.path.join(src, "backup")
    assert tarn(target, "-d", src, backup).body == "+ a\n"
    r = tarn(target, "-d", src, backup)
    assert (r.status, r.body) == (0, "=\n")
    assert sorted(snapshot(src)) == ["a", "backup", "backup/a"]


def test_delete_that_fails_keeps_read_only(fs_target, tmp_path):
    """A delete refused every way leaves the read-only mark as it was."""
    target = fs_target
    dst = build(tmp_path / "dst", {"ro": "r"})
    os.chmod(os.path.join(dst, "ro"), 0o444)
    # The extended delete (call 1), clearing the mark (call 2) and the
    # classic delete (call 3) are refused. (A mark cleared and then put back:
    # FileOps.DeleteExtendedThenClassic.)
    r = tarn(target, "NtSetInformationFile", "1x3", "0xC0000043", "-d", "-p", dst, program="tarn_fault")
    assert (r.status, r.body) == (ENTRIES_FAILED, 'WARNING: unable to delete "ro"\n')
    assert not os.stat(os.path.join(dst, "ro")).st_mode & 0o222


def test_deleted_current_folder(fs_target, tmp_path):
    """Absolute source and target work from a current folder that is gone."""
    target = fs_target
    src = build(tmp_path / "src", {"a": "a", "sub": {"b": "b"}})
    gone = tmp_path / "gone"
    gone.mkdir()
    dst = tmp_path / "dst"
    cmd = target.command("tarn", shown(target, src), shown(target, dst))
    r = subprocess.run(["sh", "-c", 'cd "$1" && rmdir "$1" && shift && exec "$@"', "sh", str(gone), *cmd],
                       stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=120)
    assert r.returncode == 0, r.stdout
    assert_same_tree(src, dst)


def _start_blocked(target, args, pipe_bytes=4096):
    """Starts tarn writing into a small pipe that nobody reads, and returns
    once the pipe is full to within a line: the run is then held at one of
    its next few writes (each line is written whole)."""
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, 1031, pipe_bytes)  # F_SETPIPE_SZ
    size = fcntl.fcntl(write_end, 1032)       # F_GETPIPE_SZ
    p = subprocess.Popen(target.command("tarn", *args), stdout=write_end, stdin=subprocess.DEVNULL)
    os.close(write_end)
    buf = bytearray(4)
    while True:
        fcntl.ioctl(read_end, termios.FIONREAD, buf)
        if int.from_bytes(buf, "little") >= size - 256:
            return p, read_end
        assert p.poll() is None, "the run ended before its output filled the pipe"
        os.sched_yield()


def _finish(p, read_end, status=0):
    out = b""
    with os.fdopen(read_end, "rb") as f:
        out = f.read()
    assert p.wait(timeout=120) == status
    return out.decode()


@pytest.mark.parametrize("swap", ["listed", "entered", "filled"])
def test_folder_swapped_for_a_link_during_the_run(fs_target, tmp_path, swap):
    """A target folder replaced by a link while the run is held: nothing in
    the linked folder is deleted or written, whether the folder was already
    read ("listed"), is read after the swap ("entered") or is being filled
    with new files ("filled")."""
    target = fs_target
    if target.is_wine:
        pytest.skip("Wine shows a symbolic link to a folder as the folder itself")
    names = {f"f{i:04}": "x" for i in range(1500)}
    victim = build(tmp_path / "victim", dict(names))
    before = snapshot(victim)
    src = build(tmp_path / "src", {"new": "n"})
    if swap == "filled":
        # Held while copying the new files of src/d into dst/d.
        src = build(tmp_path / "src2", {"d": {f"n{i:04}": "n" for i in range(1500)}, "new": "n"})
        dst = build(tmp_path / "dst", {"d": {}})
    elif swap == "listed":
        # Held while deleting the entries of dst/d, already read.
        dst = build(tmp_path / "dst", {"d": dict(names)})
    else:
        # Held while deleting the root's entries, before dst/z is read: the
        # empty folders before it are more than the listing reads ahead.
        early = {f"g{i:02}": {} for i in range(16)}
        dst = build(tmp_path / "dst", {**names, **early, "z": {"f0000": "x"}})
    p, read_end = _start_blocked(target, ["-d", "-v", src, dst])
    try:
        folder = os.path.join(dst, "z" if swap == "entered" else "d")
        os.rename(folder, os.path.join(tmp_path, "moved"))
        os.symlink(victim, folder)
        # Entries that could not be deleted or listed are failures of the run.
        body = _finish(p, read_end, 0 if swap == "filled" else ENTRIES_FAILED)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    assert snapshot(victim) == before
    assert "+ new\n" in body
    if swap == "entered":
        assert 'WARNING: unable to open "z"' in body


def _fd_tree(fd):
    """Relative paths and file bytes below an open folder, read by
    descriptors (paths deeper than the system's limit work)."""
    found = {}
    for here, dirs, files, dirfd in os.fwalk(dir_fd=fd):
        for name in files:
            with open(os.open(name, os.O_RDONLY, dir_fd=dirfd), "rb") as f:
                found[os.path.join(here, name)] = f.read()
        for name in dirs:
            found[os.path.join(here, name)] = None
    return found


def test_tree_deeper_than_the_path_limit(fs_target, tmp_path):
    """A tree whose paths exceed the system's path length limit is copied
    whole, and a second run finds nothing to do."""
    target = fs_target
    if target.is_wine:
        pytest.skip("the limit is the Linux program's; Wine has its own path handling")
    src, dst = tmp_path / "src", tmp_path / "dst"
    src.mkdir()
    fd = os.open(src, os.O_RDONLY)
    for _ in range(250):   # 250 levels of 31 bytes: past the 4096-byte limit
        os.mkdir("d" * 30, dir_fd=fd)
        fd, old = os.open("d" * 30, os.O_RDONLY, dir_fd=fd), fd
        os.close(old)
    with open(os.open("f", os.O_WRONLY | os.O_CREAT, dir_fd=fd), "wb") as f:
        f.write(b"deep")
    os.close(fd)
    r = tarn(target, "-q", src, dst)
    assert r.status == 0 and "WARNING" not in r.body, r.body[:300]
    src_fd, dst_fd = os.open(src, os.O_RDONLY), os.open(dst, os.O_RDONLY)
    try:
        assert _fd_tree(dst_fd) == _fd_tree(src_fd)
    finally:
        os.close(src_fd)
        os.close(dst_fd)
    r = tarn(target, "-d", "-v", src, dst)
    assert r.status == 0 and "WARNING" not in r.body and "- " not in r.body and "+ " not in r.body


# What is mounted at mnt: another file system; a folder of the same one bound
# there; the same, with the status call that tells a mount's root failing (as
# before Linux 5.8), so that the mount table decides.
MOUNTS = {"tmpfs": ["-t", "tmpfs", "tmpfs"], "bind": ["--bind"], "bind-without-statx": ["--bind"]}


@pytest.mark.parametrize("mount", MOUNTS)
def test_extra_mount_point_is_removed_as_itself(target, tmp_path, mount):
    """A mount point in the target that the source lacks is removed as itself
    (on Linux the system refuses to remove where a file system is mounted):
    what is mounted there is never emptied, nor listed as removed."""
    if target.kind != "native":
        pytest.skip("Wine shows a mount point as an ordinary folder")
    src = build(tmp_path / "src", {"a": "1"})
    dst = build(tmp_path / "dst", {"mnt": {}, "old": {"x": "1"}})
    mnt = os.path.join(dst, "mnt")
    bound = [build(tmp_path / "outside", {})] if mount != "tmpfs" else []
    r = subprocess.run(["mount", *MOUNTS[mount], *bound, mnt], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        pytest.skip(f"mounting is not permitted here: {r.stdout.decode().strip()}")
    fault = ["statx", "1x1000000", "38"] if mount.endswith("statx") else []
    try:
        os.mkdir(os.path.join(mnt, "sub"))
        with open(os.path.join(mnt, "sub", "kept"), "w") as f:
            f.write("k")
        before = snapshot(mnt)
        for args in (["-t", "-d", "-v"], ["-d", "-v"]):
            r = tarn(target, *fault, *args, src, dst, program="tarn_fault" if fault else "tarn")
            assert "mnt" + os.sep + "sub" not in r.body and "mnt/sub" not in r.body, r.body
            assert snapshot(mnt) == before
        assert 'WARNING: unable to delete "mnt"' in r.body, r.body
        assert not os.path.exists(os.path.join(dst, "old")) and os.path.exists(os.path.join(dst, "a"))
    finally:
        subprocess.run(["umount", "-l", mnt])
