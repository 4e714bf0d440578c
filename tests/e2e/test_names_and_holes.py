"""The Linux program keeps what Linux names, links and files are: link texts
byte for byte, names of any bytes in the collation's order, holes of sparse
files, and folders whose names hold '*' or '?'."""
import os

import pytest

from tree import fs_target, build, tarn, write_file

MiB = 1 << 20

# Source links: name -> text. "sub" leads to real/deep, so sub/../a is
# real/a through it, while its normal form would be the top-level a.
LINKS = {b"l_dotdot": b"sub/../a", b"l_drive": b"/mnt/C/x", b"l_object": b"/??/C:", b"l_slashes": b"real//a",
         b"l_trail": b"real/", b"sub": b"real/deep"}
# Names by what they stand for: a backslash between '[' and ']', the real
# character U+F700 as itself, bytes that are not UTF-8 last, by value.
NAMES = [b"x[", b"x\\", b"x]", b"x_", b"xa", "x\uf700".encode(), "x\U0001f600".encode(), b"x\xfe", b"x\xff"]
FIRST_RUN = ["+ ...", "+ a", "+ l_dotdot", "+ l_drive", "+ l_object", "+ l_slashes", "+ l_trail", "+ real",
             "+ real/a", "+ real/deep", "+ sparse", "+ sub", "+ x[", "+ x\\\\", "+ x]", "+ x_", "+ xa",
             "+ x\uf700", "+ x\U0001f600", "+ x\\xFE", "+ x\\xFF"]


@pytest.fixture
def native(fs_target):
    if fs_target.is_wine:
        pytest.skip("Linux program only")
    return fs_target


def test_links_names_and_holes(native, tmp_path):
    src, dst = os.fsencode(tmp_path / "src"), os.fsencode(tmp_path / "dst")
    build(tmp_path / "src", {"a": "top a", "real": {"a": "real a", "deep": {}}, "...": {}})
    for name, text in LINKS.items():
        os.symlink(text, os.path.join(src, name))
    for name in NAMES:
        write_file(os.path.join(src, name), name)
    sparse = os.path.join(src, b"sparse")
    with open(sparse, "wb") as f:  # 1 GiB: 1 MiB of data at 100 MiB, a hole to the end
        f.truncate(1 << 30)
        f.seek(100 * MiB)
        f.write(os.urandom(MiB))
    r = tarn(native, tmp_path / "src", tmp_path / "dst")
    assert (r.status, r.body) == (0, "".join(line + "\n" for line in FIRST_RUN))
    assert sorted(os.listdir(dst)) == sorted(os.listdir(src))
    for name, text in LINKS.items():
        assert os.readlink(os.path.join(dst, name)) == text, name
    assert open(os.path.join(dst, b"l_dotdot")).read() == open(os.path.join(src, b"l_dotdot")).read() == "real a"
    s, t = os.stat(sparse), os.stat(os.path.join(dst, b"sparse"))
    assert t.st_size == s.st_size and t.st_blocks * 512 <= 4 * MiB, t.st_blocks
    with open(sparse, "rb") as a, open(os.path.join(dst, b"sparse"), "rb") as b:
        a.seek(99 * MiB), b.seek(99 * MiB)
        assert a.read(3 * MiB) == b.read(3 * MiB)
        a.seek(-MiB, os.SEEK_END), b.seek(-MiB, os.SEEK_END)
        assert b.read() == a.read() == bytes(MiB)
    r = tarn(native, "-v", tmp_path / "src", tmp_path / "dst")
    assert r.status == 0 and sorted(set(r.body.splitlines())) == sorted("=" + line[1:] for line in FIRST_RUN)
    # A link whose text is another spelling of the same place is not the same link.
    os.unlink(os.path.join(dst, b"l_slashes"))
    os.symlink(b"real/a", os.path.join(dst, b"l_slashes"))
    r = tarn(native, "-q", tmp_path / "src", tmp_path / "dst")
    assert (r.status, r.body) == (0, "-+\n")
    assert os.readlink(os.path.join(dst, b"l_slashes")) == b"real//a"


def test_source_arguments(native, tmp_path):
    build(tmp_path, {"a*b": {"in": {"f": "f"}}, "axb": {"g": "g"}})
    # A folder named with '*' is the source as a whole; otherwise the split.
    r = tarn(native, "a*b", "d1", cwd=tmp_path)
    assert (r.status, r.header, r.body) == (0, f"source: {tmp_path}/a*b\ntarget: {tmp_path}/d1\n", "+ in\n+ in/f\n")
    r = tarn(native, "a?b/", "d2", cwd=tmp_path)
    assert (r.status, r.header.splitlines()[2:], sorted(os.listdir(tmp_path / "d2"))) == (0, ["filter: +a?b/"],
                                                                                          ["a*b", "axb"])
    # '-' and one byte is a switch, also a byte that travels escaped.
    for arg, shown in ((b"-\\", "-\\\\"), (b"-\xff", "-\\xFF")):
        r = tarn(native, os.fsdecode(arg), "a*b", "d3", cwd=tmp_path)
        assert r.status != 0 and r.text == f'ERROR: Unknown switch "{shown}" (tarn -h lists the switches)\n'
    assert not os.path.exists(tmp_path / "d3")
