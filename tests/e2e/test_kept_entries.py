"""Kept entries, kinds, folders made on the way, and the modes, owners and
write times of folders and links (the Linux program)."""
import os
import stat

import pytest

from test_linux import native  # the Linux program only: Windows keeps no modes, nor folder and link times
from tree import fs_target, build, tarn, BASE_TIME

ROOT = os.geteuid() == 0
FILTERS = ("-way", "+way/*")  # "way" itself is made only on the way to what it holds
# Source entry: its mode (None: a link to "dir"), then the lines of a run
# under -k, of the next with or without -d, and of one more ("dir/": the
# folder's delivery after its contents). Folders and links each get their
# own write time, every entry its own owner.
TABLE = {
    "dir": (0o750, "= dir", "= dir", "= dir"),  # mode, owner and time taken in place
    "dir/in": (0o644, "= dir/in", "= dir/in", "= dir/in"),
    "dir/": (None, "= dir", "= dir", "= dir"),
    "dlink": (None, "= dlink", "= dlink", "= dlink"),  # a link's owner and time in place
    "e": (0o1777, "? e", "- e|+ e", "= e"),  # -k keeps the private file "e"
    "e/": (None, "", "", "= e"),
    "fifo": (0o644, "? fifo", "- fifo|+ fifo", "= fifo"),  # an empty file against a FIFO of its time
    "nlink": (None, "+ nlink", "= nlink", "= nlink"),
    "way": (0o750, "+ way", "= way", "= way"),
    "way/sel": (0o640, "+ way/sel", "= way/sel", "= way/sel"),
    "way/sub": (0o705, "+ way/sub", "= way/sub", "= way/sub"),
    "way/sub/": (None, "", "= way/sub", "= way/sub"),
}
NAMES = [n for n in TABLE if not n.endswith("/")]


def make(src, dst):
    build(src, {"dir": {"in": "in"}, "e": {}, "fifo": "", "way": {"sel": "sel", "sub": {}}})
    build(dst, {"dir": {"in": "in"}, "e": "secret"})
    os.chmod(f"{dst}/e", 0o600)
    os.symlink("dir", f"{src}/dlink"), os.symlink("dir", f"{dst}/dlink"), os.symlink("dir", f"{src}/nlink")
    os.mkfifo(f"{dst}/fifo"), os.mkfifo(f"{dst}/xfifo")
    os.utime(f"{dst}/fifo", (BASE_TIME, BASE_TIME))
    for i, name in enumerate(sorted(NAMES, reverse=True)):  # deepest first
        path, mode = f"{src}/{name}", TABLE[name][0]
        if mode is not None:
            os.chmod(path, mode)
        if ROOT:
            os.lchown(path, 1000 + i, 2000 + i)
        if not stat.S_ISREG(os.lstat(path).st_mode):
            os.utime(path, (BASE_TIME - i * 86400,) * 2, follow_symlinks=False)
    os.chmod(src, 0o751)
    os.utime(src, (BASE_TIME - 99 * 86400,) * 2)


def state(path):
    """Kind, mode (not of a link), owner where a run may set it, write time."""
    st = os.lstat(path)
    return (stat.S_IFMT(st.st_mode), None if stat.S_ISLNK(st.st_mode) else stat.S_IMODE(st.st_mode),
            (st.st_uid, st.st_gid) if ROOT else None, st.st_mtime_ns)


@pytest.mark.parametrize("delete", [False, True])
def test_kept_entries_kinds_and_times(native, tmp_path, delete):
    src, dst = str(tmp_path / "src"), str(tmp_path / "dst")
    make(src, dst)
    extras = ["? xfifo", "- xfifo" if delete else "? xfifo", "" if delete else "? xfifo"]
    for run, switches in enumerate([("-k",), ("-d",) if delete else (), ("-d",) if delete else ()]):
        r = tarn(native, "-v", *switches, src, dst, *FILTERS)
        lines = [l for row in TABLE.values() for l in row[1 + run].split("|") if l]
        assert (r.status, r.body.splitlines()) == (0, lines + [l for l in extras[run:run + 1] if l])
        kept = ("e", "fifo") if run == 0 else ()
        for name in [""] + [n for n in NAMES if n not in kept]:
            assert state(f"{dst}/{name}") == state(f"{src}/{name}"), name
        if run == 0:  # what -k kept is as it was
            assert state(f"{dst}/e")[:3] == (stat.S_IFREG, 0o600, (0, 0) if ROOT else None)
            assert open(f"{dst}/e").read() == "secret" and stat.S_ISFIFO(os.lstat(f"{dst}/fifo").st_mode)
    assert os.path.lexists(f"{dst}/xfifo") != delete and os.readlink(f"{dst}/nlink") == "dir"
