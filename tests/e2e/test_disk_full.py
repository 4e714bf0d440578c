"""A full disk, for real: the target on a small tmpfs. First copies,
replacements and folder creation fail cleanly, nothing partial is left, old
versions stay, and a run after space is freed converges."""
import os
import subprocess
import uuid

import pytest

from tree import assert_same_tree, build, snapshot, tarn, ENTRIES_FAILED

MIB = 1024 * 1024


@pytest.fixture
def small_disk(target, tmp_path):
    if target.kind != "native":
        pytest.skip("the native build only (a Wine drive maps the same mount)")
    mount = tmp_path / "disk"
    mount.mkdir()
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m,nr_inodes=64", "tmpfs", str(mount)],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        pytest.skip(f"mounting a tmpfs is not permitted here: {r.stdout.decode().strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)])


def fill(path, leave):
    """Fills the file system of `path` with one file until `leave` bytes are
    free; returns the filler."""
    filler = os.path.join(path, "filler-" + uuid.uuid4().hex)
    st = os.statvfs(path)
    free = st.f_bavail * st.f_frsize
    with open(filler, "wb") as f:
        f.write(b"\0" * max(0, free - leave))
    return filler


def test_full_disk_keeps_old_versions_and_leaves_nothing_partial(target, tmp_path, small_disk):
    src = build(tmp_path / "src", {"new.bin": os.urandom(2 * MIB), "replace.bin": os.urandom(2 * MIB),
                                   "folder": {"inside": "x"}, "small": "s"})
    dst = build(small_disk / "dst", {"replace.bin": "old version", "small": "old small"})
    old = snapshot(dst)
    filler = fill(small_disk, 256 * 1024)
    r = tarn(target, src, dst)
    assert r.status == ENTRIES_FAILED
    assert 'WARNING: unable to write "new.bin"' in r.body
    assert 'WARNING: unable to write "replace.bin"' in r.body
    now = snapshot(dst)
    # Nothing partial: each entry is either old or a complete copy.
    want = snapshot(src)
    for name, entry in now.items():
        assert entry == old.get(name) or entry == want.get(name), name
    assert now["replace.bin"] == old["replace.bin"]
    assert "new.bin" not in now
    # No folder can be made once the inodes are used up as well.
    build(tmp_path / "src" / "later", {"x": "y"})
    while True:
        try:
            os.mkdir(os.path.join(small_disk, "inode-" + uuid.uuid4().hex))
        except OSError:
            break
    r = tarn(target, "-e", src, dst)
    assert r.status == 2
    assert "ERROR: Aborted on error: unable to create" in r.body
    assert "later" not in snapshot(dst)
    assert snapshot(dst)["replace.bin"] == old["replace.bin"]
    # Space freed: the next run converges.
    for name in os.listdir(small_disk):
        if name.startswith(("filler-", "inode-")):
            path = os.path.join(small_disk, name)
            os.rmdir(path) if os.path.isdir(path) else os.remove(path)
    r = tarn(target, src, dst)
    assert r.status == 0
    assert "WARNING" not in r.body
    assert_same_tree(src, dst)
