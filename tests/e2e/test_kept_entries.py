"""What a Linux mirror keeps besides data: kept entries left as they are,
the kind of an entry as part of its identity, modes and owners of folders
made on the way, and the write times of folders and links."""
import os
import stat

import pytest

from tree import fs_target, build, tarn, BASE_TIME

DAY = 86400
ROOT = os.geteuid() == 0
FILTERS = ("-way", "+way/*")  # "way" is made only on the way to what it holds

# Source entries: name -> (kind, mode, write time). Kinds: dir, file, link
# (to the folder "dir").
SOURCE = {
    "dir": ("dir", 0o750, BASE_TIME - 1 * DAY),
    "dir/in": ("file", 0o644, BASE_TIME),
    "dlink": ("link", None, BASE_TIME - 2 * DAY),
    "e": ("dir", 0o1777, BASE_TIME - 3 * DAY),
    "fifo": ("file", 0o644, BASE_TIME),
    "nlink": ("link", None, BASE_TIME - 4 * DAY),
    "way": ("dir", 0o750, BASE_TIME - 5 * DAY),
    "way/sel": ("file", 0o640, BASE_TIME),
    "way/sub": ("dir", 0o705, BASE_TIME - 6 * DAY),
}

# Each entry through three runs: -k, then with or without -d (twice: the
# second changes nothing). Per run the output lines, in the program's order
# ("dir/": the folder's delivery after its contents), and what -k leaves:
# "source" (the source's kind, mode, owner and time) or what is kept.
TABLE = {
    # An identical folder pair and link pair whose mode, owner and time
    # drifted take the source's in place.
    "dir": (["= dir"], ["= dir"], "source"),
    "dir/in": (["= dir/in"], ["= dir/in"], "source"),
    "dir/": (["= dir"], ["= dir"], None),
    "dlink": (["= dlink"], ["= dlink"], "source"),
    # A private file kept against a folder is never given its mode.
    "e": (["? e"], ["- e", "+ e"], "file", ["= e", "= e"]),
    # A FIFO is never the same as an empty file of the same time.
    "fifo": (["? fifo"], ["- fifo", "+ fifo"], "fifo", ["= fifo"]),
    "nlink": (["+ nlink"], ["= nlink"], "source"),
    # A folder made on the way (no delivery after its contents).
    "way": (["+ way"], ["= way"], "source"),
    "way/sel": (["+ way/sel"], ["= way/sel"], "source"),
    "way/sub": (["+ way/sub"], ["= way/sub"], "source"),
    "way/sub/": ([], ["= way/sub"], None),
}


@pytest.fixture
def native(fs_target):
    if fs_target.is_wine:
        pytest.skip("the Windows program keeps neither modes nor folder and link times")
    return fs_target


def make_source(src):
    build(src, {"dir": {"in": "in"}, "fifo": "", "way": {"sel": "sel", "sub": {}}, "e": {}})
    os.symlink("dir", f"{src}/dlink")
    os.symlink("dir", f"{src}/nlink")
    # Deepest first, so that setting one never changes another's time.
    for name, (kind, mode, mtime) in sorted(SOURCE.items(), reverse=True):
        path = f"{src}/{name}"
        if mode is not None:
            os.chmod(path, mode)
        if ROOT:
            os.lchown(path, 1234 + len(name), 5678)
        os.utime(path, (mtime, mtime), follow_symlinks=False)
    os.chmod(src, 0o751)
    os.utime(src, (BASE_TIME - 7 * DAY,) * 2)


def make_target(dst):
    build(dst, {"dir": {"in": "in"}, "e": "secret"})
    os.chmod(f"{dst}/e", 0o600)
    os.symlink("dir", f"{dst}/dlink")
    os.mkfifo(f"{dst}/fifo")
    os.utime(f"{dst}/fifo", (BASE_TIME, BASE_TIME))
    os.mkfifo(f"{dst}/xfifo")
    os.chmod(f"{dst}/dir", 0o700)


def state(path):
    """Kind, mode (not of a link), owner where a run may set it, write time."""
    st = os.lstat(path)
    link = stat.S_ISLNK(st.st_mode)
    return (stat.S_IFMT(st.st_mode), None if link else stat.S_IMODE(st.st_mode),
            (st.st_uid, st.st_gid) if ROOT else None, st.st_mtime_ns)


def tree_state(root):
    return {rel: state(os.path.join(root, rel)) for rel in [""] + sorted(SOURCE) + ["xfifo"]
            if os.path.lexists(os.path.join(root, rel))}


@pytest.mark.parametrize("delete", [False, True])
def test_kept_entries_kinds_and_times(native, tmp_path, delete):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make_source(src)
    make_target(dst)

    r = tarn(native, "-v", "-k", src, dst, *FILTERS)
    assert r.status == 0
    assert r.body.splitlines() == [l for row in TABLE.values() for l in row[0]] + ["? xfifo"]
    for name, (_, _, after, *_) in TABLE.items():
        if after == "source":  # the rest: checked below
            assert state(f"{dst}/{name}") == state(f"{src}/{name}"), name
    assert state(dst) == state(src)
    # Kept as they were: the private file, its data, and the FIFO.
    assert state(f"{dst}/e")[:3] == (stat.S_IFREG, 0o600, (0, 0) if ROOT else None)
    assert open(f"{dst}/e").read() == "secret"
    assert stat.S_ISFIFO(os.lstat(f"{dst}/fifo").st_mode)

    switches = ["-v", "-d"] if delete else ["-v"]
    r = tarn(native, *switches, src, dst, *FILTERS)
    assert r.status == 0
    extra = ["- xfifo"] if delete else ["? xfifo"]
    assert r.body.splitlines() == [l for row in TABLE.values() for l in row[1]] + extra
    for name in SOURCE:
        assert state(f"{dst}/{name}") == state(f"{src}/{name}"), name
    assert state(dst) == state(src)
    assert os.path.lexists(f"{dst}/xfifo") != delete
    assert os.readlink(f"{dst}/nlink") == "dir"

    # Again: nothing to do, nothing changed.
    before = tree_state(dst)
    r = tarn(native, *switches, src, dst, *FILTERS)
    again = [l for row in TABLE.values() for l in (row[3] if len(row) > 3 else row[1])]
    assert (r.status, r.body.splitlines()) == (0, again + ([] if delete else ["? xfifo"]))
    assert tree_state(dst) == before
