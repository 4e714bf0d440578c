"""Linux only: link texts byte for byte, names of any bytes in the
collation's order, holes of sparse files, folders named with '*' or '?'."""
import os

from test_linux import native  # noqa: F401 (fixture)
from tree import build, fs_target, tarn, write_file  # noqa: F401

MiB = 1 << 20
# "sub" leads to real/deep: sub/../a is real/a through it, its normal form a.
LINKS = {b"l_dotdot": b"sub/../a", b"l_drive": b"/mnt/C/x", b"l_object": b"/??/C:", b"l_slashes": b"real//a",
         b"l_trail": b"real/", b"sub": b"real/deep"}
# A backslash between '[' and ']', U+F700 as itself, bytes not UTF-8 last.
NAMES = [b"x[", b"x\\", b"x]", b"x_", b"xa", "x\uf700".encode(), "x\U0001f600".encode(), b"x\xfe", b"x\xff"]
FIRST_RUN = ["+ ...", "+ a", "+ l_dotdot", "+ l_drive", "+ l_object", "+ l_slashes", "+ l_trail", "+ real",
             "+ real/a", "+ real/deep", "+ sparse", "+ sub", "+ x[", "+ x\\\\", "+ x]", "+ x_", "+ xa",
             "+ x\uf700", "+ x\U0001f600", "+ x\\xFE", "+ x\\xFF"]


def test_links_names_and_holes(native, tmp_path):
    src, dst = os.fsencode(tmp_path / "src"), os.fsencode(tmp_path / "dst")
    build(tmp_path / "src", {"a": "top a", "real": {"a": "real a", "deep": {}}, "...": {}})
    for name, text in LINKS.items():
        os.symlink(text, os.path.join(src, name))
    for name in NAMES:
        write_file(os.path.join(src, name), name)
    sparse, copy = os.path.join(src, b"sparse"), os.path.join(dst, b"sparse")
    with open(sparse, "wb") as f:  # 1 GiB: 1 MiB of data at 100 MiB
        f.truncate(1 << 30)
        f.seek(100 * MiB)
        f.write(os.urandom(MiB))
    r = tarn(native, tmp_path / "src", tmp_path / "dst")
    assert (r.status, r.body) == (0, "".join(line + "\n" for line in FIRST_RUN))
    assert sorted(os.listdir(dst)) == sorted(os.listdir(src))
    assert {n: os.readlink(os.path.join(dst, n)) for n in LINKS} == LINKS
    assert open(os.path.join(dst, b"l_dotdot")).read() == open(os.path.join(src, b"l_dotdot")).read() == "real a"
    assert os.stat(copy).st_size == 1 << 30 and os.stat(copy).st_blocks * 512 <= 4 * MiB
    with open(sparse, "rb") as a, open(copy, "rb") as b:
        assert all(a.seek(at) == b.seek(at) and a.read(2 * MiB) == b.read(2 * MiB) for at in (99 * MiB, 1023 * MiB))
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
