"""Extended attributes, access lists and hard links of the Linux program."""
import os
import struct
import subprocess
import tempfile

import pytest

from tree import build, fs_target, tarn  # noqa: F401 (fs_target is a fixture)

# POSIX access list entries (tag, permissions, id) in the kernel's attribute form.
USER_OBJ, USER, GROUP_OBJ, MASK, OTHER, ANY = 1, 2, 4, 0x10, 0x20, 0xFFFFFFFF


def acl(*entries):
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


ACCESS = acl((USER_OBJ, 6, ANY), (USER, 4, 1234), (GROUP_OBJ, 4, ANY), (MASK, 4, ANY), (OTHER, 4, ANY))
DEFAULT = acl((USER_OBJ, 7, ANY), (USER, 5, 4321), (GROUP_OBJ, 5, ANY), (MASK, 5, ANY), (OTHER, 0, ANY))
# Attributes by entry; hard links: names of one file, first name first.
ATTRS = {"doc": {"user.note": b"hello", "user.empty": b"", "system.posix_acl_access": ACCESS},
         "b": {"user.tag": b"folder", "system.posix_acl_default": DEFAULT}}
LINKED = [("a1", "a2"), ("b/t", "c/t", "t")]
FIRST_RUN = "+ a1\n+ a2\n+ b\n+ b/t\n+ c\n+ c/t\n+ doc\n+ t\n"
SAME = ["a1", "a2", "b", "b/t", "b", "c", "c/t", "c", "doc", "t"]


@pytest.fixture
def trees(fs_target, tmp_path):
    if fs_target.is_wine:
        pytest.skip("the Windows program copies each name of a file and keeps no Linux attributes")
    src = build(tmp_path / "src", {"a1": "pair", "b": {"t": "triple"}, "c": {}, "doc": "document"})
    os.link(src + "/a1", src + "/a2")
    os.link(src + "/b/t", src + "/c/t")
    os.link(src + "/b/t", src + "/t")
    try:
        for entry, attrs in ATTRS.items():
            for name, value in attrs.items():
                os.setxattr(f"{src}/{entry}", name, value)
    except OSError as e:
        pytest.skip(f"the test folder's file system refuses extended attributes or access lists ({e})")
    return fs_target, src, str(tmp_path / "dst")


def kept(path):
    """The attributes of an entry that a run copies whoever runs it."""
    return {n: os.getxattr(path, n) for n in os.listxattr(path) if n.startswith(("user.", "system.posix_acl_"))}


def check_tree(src, dst):
    for entry in ATTRS:
        assert kept(f"{dst}/{entry}") == kept(f"{src}/{entry}"), entry
    inodes = [{os.stat(f"{dst}/{n}").st_ino for n in names} for names in LINKED]
    assert [len(i) for i in inodes] == [1, 1] and inodes[0] != inodes[1]
    assert os.stat(f"{dst}/doc").st_mode == os.stat(f"{src}/doc").st_mode


def test_attributes_and_hard_links(trees):
    target, src, dst = trees
    r = tarn(target, "-t", src, dst)
    assert (r.status, r.body, os.path.exists(dst)) == (0, FIRST_RUN, False)
    r = tarn(target, src, dst)
    assert (r.status, r.body) == (0, FIRST_RUN)
    check_tree(src, dst)
    # Again: all identical, and attributes that agree are not written.
    changed = [os.stat(f"{dst}/{n}").st_ctime_ns for n in ATTRS]
    r = tarn(target, "-v", src, dst)
    assert (r.status, r.body) == (0, "".join(f"= {n}\n" for n in SAME))
    assert [os.stat(f"{dst}/{n}").st_ctime_ns for n in ATTRS] == changed

    # Attributes changed in the source alone are taken in place (the file is
    # not copied again); a name split off in the target is linked again.
    doc = os.stat(f"{dst}/doc").st_ino
    os.setxattr(f"{src}/doc", "user.note", b"changed")
    os.removexattr(f"{src}/doc", "user.empty")
    os.setxattr(f"{src}/b", "user.tag", b"retagged")
    os.unlink(f"{dst}/c/t")
    build(f"{dst}/c", {"t": "triple"})
    r = tarn(target, "-v", src, dst)
    assert (r.status, r.body) == (0, "".join(f"= {n}\n" if n != "c/t" else "- c/t\n+ c/t\n" for n in SAME))
    check_tree(src, dst)
    assert os.stat(f"{dst}/doc").st_ino == doc


def test_first_name_left_out_and_attributes_refused(trees, tmp_path):
    target, src, dst = trees
    # Without its first name a file's other name is copied on its own.
    r = tarn(target, "-q", "-q", src, dst, "-a1")
    assert r.status == 0 and os.stat(f"{dst}/a2").st_nlink == 1 and not os.path.exists(f"{dst}/a1")
    # A name that cannot be made a link (too many links) is copied instead.
    r = tarn(target, "linkat", "1", "31", src, str(tmp_path / "unlinked"), program="tarn_fault")
    assert (r.status, r.body) == (0, FIRST_RUN)
    assert [os.stat(tmp_path / "unlinked" / n).st_nlink for n in ("a1", "a2", "t")] == [1, 1, 3]
    # A target that refuses every attribute is told once; the copies stand.
    other = str(tmp_path / "other")
    r = tarn(target, "fsetxattr", "1x1000", "95", src, other, program="tarn_fault")
    assert r.status == 0 and r.body == ('+ a1\n+ a2\n+ b\n+ b/t\nWARNING: extended attributes are not kept in the'
                                        ' target (first "b"); copies go without them\n+ c\n+ c/t\n+ doc\n+ t\n')
    assert open(f"{other}/doc").read() == "document" and kept(f"{other}/doc") == {}


def test_read_only_entries_of_a_user(trees):
    """A user's read-only file and folder still take attributes, new or in place."""
    target, *_ = trees
    if os.geteuid() != 0:
        pytest.skip("needs root to run the program as another user")
    with tempfile.TemporaryDirectory() as top:  # a folder the user may reach
        os.chmod(top, 0o755)
        src, dst = build(top + "/user/src", {"ro": {"f": "data"}}), top + "/user/dst"
        for path in ("", "/src", "/src/ro", "/src/ro/f"):
            os.chown(top + "/user" + path, 65534, 65534)
        run_as_user(target, src, dst, b"first")
        run_as_user(target, src, dst, b"second")


def test_capabilities_of_another_owner(trees, tmp_path):
    """As root, a file's capabilities outlive the change of its copy's owner."""
    target, *_ = trees
    if os.geteuid() != 0:
        pytest.skip("only root gives capabilities and owners")
    cap = bytes.fromhex("01000002" "00200000" "00000000" "00000000" "00000000")  # cap_net_raw+ep
    src, dst = build(tmp_path / "caps", {"t": "program"}), tmp_path / "caps-copy"
    os.chown(src + "/t", 1000, 1000)
    os.setxattr(src + "/t", "security.capability", cap)
    for _ in range(2):  # a copy, then the copy's owner changed back in place
        assert tarn(target, "-q", "-q", src, dst).status == 0
        assert (os.getxattr(dst / "t", "security.capability"), os.stat(dst / "t").st_uid) == (cap, 1000)
        os.chown(dst / "t", 0, 0)


def run_as_user(target, src, dst, note):
    for path, mode in ((src + "/ro/f", 0o644), (src + "/ro", 0o755)):
        os.chmod(path, mode)
        os.setxattr(path, "user.note", note)
        os.chmod(path, mode & 0o555)
    r = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", target.program("tarn"),
                        "-q", "-q", src, dst], capture_output=True, timeout=60)
    assert (r.returncode, r.stdout) == (0, b"")
    assert [(os.getxattr(p, "user.note"), oct(os.stat(p).st_mode & 0o777)) for p in (dst + "/ro", dst + "/ro/f")] \
        == [(note, "0o555"), (note, "0o444")]
