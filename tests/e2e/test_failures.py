"""Failures during a run: sources that cannot be read, abort on the first
warning, interruption, and listing failures that must not cost data."""
import os
import subprocess

import pytest

from tree import fs_target, assert_same_tree, build, interrupt_when, snapshot, tarn, out, ENTRIES_FAILED


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def test_locked_source_file_leaves_target_untouched(fs_target, tmp_path):
    target = fs_target
    if not target.is_wine:
        pytest.skip("needs Windows share modes to lock a file against reading")
    src = build(tmp_path / "src", {"a": "new a", "locked": "new contents", "z": "new z"})
    dst = build(tmp_path / "dst", {"a": "old", "locked": "old", "z": "old"})
    holder = target.start("hold_open", windows_path(tmp_path / "src" / "locked"), stdin=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"ready\n"
        r = tarn(target, src, dst)
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)
    assert r.status == ENTRIES_FAILED
    assert r.body == '- a\n+ a\nWARNING: unable to open "locked"\n- z\n+ z\n'
    assert open(os.path.join(dst, "locked")).read() == "old"
    assert open(os.path.join(dst, "a")).read() == "new a"
    # Once the file is free, the next run replaces it.
    r = tarn(target, src, dst)
    assert r.body == "=\n- locked\n+ locked\n=\n"
    assert_same_tree(src, dst)


@pytest.mark.parametrize("verbosity", [[], ["-q", "-q"]])
def test_abort_on_first_warning(fs_target, tmp_path, verbosity):
    target = fs_target
    # The source file x cannot be created over the target folder x.
    src = build(tmp_path / "src", {"x": "file", "y": "y"})
    dst = build(tmp_path / "dst", {"x": {"inner": "i"}})
    r = tarn(target, "-e", *verbosity, src, dst)
    assert r.status == 2
    # The closing line names the warning that stopped the run.
    closing = 'ERROR: Aborted on error: unable to create "x"\n'
    if verbosity:
        assert r.body == closing
    else:
        assert r.body == 'WARNING: unable to create "x"\n' + closing
    assert not os.path.exists(os.path.join(dst, "y"))
    # Without -e the run goes on, and its status tells of the failed entry.
    r = tarn(target, src, dst)
    assert r.status == ENTRIES_FAILED
    assert r.body == 'WARNING: unable to create "x"\n??\n+ y\n'


def test_interrupt_during_copy_leaves_no_partial_file(fs_target, tmp_path):
    target = fs_target
    src = tmp_path / "src"
    src.mkdir()
    with open(src / "big", "wb") as f:
        if target.is_wine:
            f.truncate(6 << 30)   # sparse: quick to read, slow to write in full
        else:  # the Linux copy keeps holes: data to write
            for _ in range(2048):
                f.write(bytes(1 << 20))
    dst = tmp_path / "dst"
    status, out = interrupt_when(target, (dst / "big").exists, src, dst)
    assert status == 2
    assert out.endswith(b"ERROR: Aborted due to user request\n")
    assert b"+ big" not in out
    assert not (dst / "big").exists()


def fault_run(target, call, status, args, wanted, make_trees, count=1):
    """Runs tarn with the nth call of `call` failing (and the count - 1 after
    it), for n = 1, 2, ..., on fresh trees each time, until the output holds
    `wanted`. Returns the run and the trees of that attempt."""
    for nth in range(1, 40):
        trees = make_trees(nth)
        r = tarn(target, call, f"{nth}x{count}", status, *args(*trees), program="tarn_fault")
        if wanted in r.body:
            return r, trees
    pytest.fail(f"no failure of {call} produced {wanted!r}")


def test_unreadable_source_folder_deletes_nothing(fs_target, tmp_path):
    """A source folder that cannot be listed must not make -d delete its
    target copy, nor any other extra after it."""
    target = fs_target

    def trees(n):
        root = tmp_path / f"try{n}"
        return (build(root / "src", {"a": {"keep": "k"}, "b": "b"}),
                build(root / "dst", {"a": {"keep": "k", "also": "x"}, "b": "b", "c": "extra"}))

    r, (src, dst) = fault_run(target, "NtQueryDirectoryFile", "0xC0000022", lambda s, d: ["-d", s, d],
                              'WARNING: unable to open "a"', trees)
    assert r.status == ENTRIES_FAILED
    assert sorted(snapshot(dst)) == ["a", "a/also", "a/keep", "b", "c"]
    assert "- " not in r.body
    # Without the failure the same run removes the extras.
    r = tarn(target, "-d", src, dst)
    assert r.body == out(target, "=\n- a/also\n===\n- c\n")
    assert_same_tree(src, dst)


def test_many_unreadable_source_folders_in_a_row(fs_target, tmp_path):
    """However many folders in a row cannot be listed, the walk goes on past
    them, and nothing in the target is removed."""
    target = fs_target
    names = [f"d{i:02}" for i in range(70)]

    def trees(n):
        root = tmp_path / f"try{n}"
        return (build(root / "src", {**{d: {"x.c": "x"} for d in names}, "z.c": "z"}),
                build(root / "dst", {"extra.c": "e"}))

    # Every directory read from the nth on fails: the subfolders, not the roots.
    for nth in range(1, 40):
        src, dst = trees(nth)
        r = tarn(target, "NtQueryDirectoryFile", f"{nth}x1000", "0xC0000022", "-d", src, dst, "+**.c",
                 program="tarn_fault")
        if 'WARNING: unable to open "d69"' in r.body:
            break
    else:
        pytest.fail("no run failed to list the subfolders")
    assert r.status == ENTRIES_FAILED
    assert r.body.count("WARNING: unable to open") == 70
    assert "+ z.c" in r.body
    assert sorted(snapshot(dst)) == ["extra.c", "z.c"]


def test_unopenable_source_file_leaves_target_file(fs_target, tmp_path):
    target = fs_target

    def trees(n):
        root = tmp_path / f"try{n}"
        return (build(root / "src", {"f": "new contents"}), build(root / "dst", {"f": "old"}))

    r, (src, dst) = fault_run(target, "NtCreateFile", "0xC0000043", lambda s, d: [s, d],
                              'WARNING: unable to open "f"', trees)
    assert (r.status, r.body) == (ENTRIES_FAILED, 'WARNING: unable to open "f"\n')
    assert open(os.path.join(dst, "f")).read() == "old"


MIB = 1024 * 1024


@pytest.mark.parametrize("call, nth, status, args, warning", [
    # The second piece of the copy cannot be read: the partial file goes.
    ("ReadFile", 2, "23", ["-q"], 'WARNING: unable to read "big"\n'),
    # The first piece cannot be written (disk full).
    ("WriteFile", 1, "112", ["-q"], 'WARNING: unable to write "big"\n'),
    # Read-through: the third piece cannot be read.
    ("ReadFile", 3, "23", ["-q", "-r"], 'WARNING: unable to read "big"\n'),
])
def test_copy_failures_leave_no_partial_file(fs_target, tmp_path, call, nth, status, args, warning):
    target = fs_target
    src = build(tmp_path / "src", {"big": os.urandom(3 * MIB)})
    dst = tmp_path / "dst"
    tail = [src] if "-r" in args else [src, dst]
    r = tarn(target, call, nth, status, *args, *tail, program="tarn_fault")
    assert (r.status, r.body) == (ENTRIES_FAILED, warning)
    if "-r" not in args:
        assert sorted(os.listdir(dst)) == []
        # The next run copies it.
        r = tarn(target, "-q", src, dst)
        assert (r.status, r.body) == (0, "+\n")
        assert_same_tree(src, dst)


def test_delete_failure_is_reported_and_the_run_goes_on(fs_target, tmp_path):
    target = fs_target
    dst = build(tmp_path / "dst", {"a": "a", "b": "b"})
    # The first delete is refused by a sharing violation, both the extended
    # and the classic way (no attribute change and retry for that).
    r = tarn(target, "NtSetInformationFile", "1x2", "0xC0000043", "-d", "-p", dst, program="tarn_fault")
    assert (r.status, r.body) == (ENTRIES_FAILED, 'WARNING: unable to delete "a"\n- b\n')
    assert sorted(os.listdir(dst)) == ["a"]


@pytest.mark.parametrize("call, status, count, warning", [
    # Disk full while the new content is written.
    ("WriteFile", "112", 1, 'unable to write "f"'),
    # The old file is in use when the new content is put in its place (by
    # the extended rename and the classic one).
    ("NtSetInformationFile", "0xC0000043", 2, 'unable to delete "f"'),
])
def test_failed_replacement_keeps_the_old_file(fs_target, tmp_path, call, status, count, warning):
    """A replacement that fails at any step leaves the old file whole, and
    under -e the closing line names the warning."""
    target = fs_target

    def trees(n):
        root = tmp_path / f"try{n}"
        # ".tarn~0" is left over from a killed run: the next name is taken.
        return (build(root / "src", {"f": "new contents", "g": "g"}),
                build(root / "dst", {"f": "old", ".tarn~0": "left over"}))

    # One copy at a time: the nth call is then always the same file's.
    r, (src, dst) = fault_run(target, call, status, lambda s, d: ["-j1", "-e", s, d], "WARNING: " + warning, trees,
                              count)
    assert r.status == 2
    assert r.body.endswith(f"WARNING: {warning}\nERROR: Aborted on error: {warning}\n")
    assert snapshot(dst) == snapshot(build(tmp_path / "expect", {"f": "old", ".tarn~0": "left over"}))
    # The leftover is an ordinary extra entry; the next run converges.
    r = tarn(target, "-d", src, dst)
    assert r.status == 0
    assert_same_tree(src, dst)


@pytest.mark.parametrize("args, status", [
    ([], 1),          # the work is done, the report is lost: no success
    (["-e"], 2),      # under -e the lost report stops the run
    (["--version"], 1),
])
def test_report_that_cannot_be_written(target, tmp_path, args, status):
    src = build(tmp_path / "src", {f"f{i}": "x" for i in range(3)})
    dst = tmp_path / "dst"
    with open("/dev/full", "wb") as full:
        r = subprocess.run(target.command("tarn", *args, src, dst), stdout=full, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL, timeout=120)
    assert r.returncode == status
    if not args:
        assert sorted(os.listdir(dst)) == ["f0", "f1", "f2"]


def test_special_source_file_is_no_failure(fs_target, tmp_path):
    target = fs_target
    if target.is_wine:
        pytest.skip("Wine lists a FIFO as a plain file")
    src = build(tmp_path / "src", {"a": "a"})
    os.mkfifo(os.path.join(src, "pipe"))
    r = tarn(target, src, tmp_path / "dst")
    assert r.status == 0 and 'WARNING: unable to open "pipe"\n' in r.body
