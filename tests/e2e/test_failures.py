"""Failures during a run: sources that cannot be read, abort on the first
warning, interruption, and listing failures that must not cost data."""
import os
import signal
import subprocess
import time

import pytest

from tree import fs_target, assert_same_tree, build, snapshot, tarn


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
    assert r.status == 0
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
    if verbosity:
        assert r.body == "ERROR: Aborted due to user request\n"
    else:
        assert r.body == 'WARNING: unable to create "x"\nERROR: Aborted due to user request\n'
    assert not os.path.exists(os.path.join(dst, "y"))
    # Without -e the warning does not change the status.
    r = tarn(target, src, dst)
    assert r.status == 0
    assert r.body == 'WARNING: unable to create "x"\n??\n+ y\n'


def test_interrupt_during_copy_leaves_no_partial_file(fs_target, tmp_path):
    target = fs_target
    src = tmp_path / "src"
    src.mkdir()
    with open(src / "big", "wb") as f:
        f.truncate(6 << 30)   # sparse: quick to read, slow to write in full
    dst = tmp_path / "dst"
    p = target.start("tarn", src, dst)
    try:
        deadline = time.time() + 120
        while not (dst / "big").exists():
            assert p.poll() is None, "the run ended before the copy started"
            assert time.time() < deadline, "the copy did not start"
            time.sleep(0.01)
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=120)
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    assert p.returncode == 2
    assert out.endswith(b"ERROR: Aborted due to user request\n")
    assert b"+ big" not in out
    assert not (dst / "big").exists()


def test_unreadable_source_folder_deletes_nothing(fs_target, tmp_path):
    target = fs_target
    """A source folder that cannot be listed must not make -d delete its
    target copy (nor anything after it). The failure is planned through the
    fault plan: the listing of the source folder "a" fails."""
    spec_src = {"a": {"keep": "k"}, "b": "b"}
    spec_dst = {"a": {"keep": "k", "also": "x"}, "b": "b", "c": "extra"}
    for nth in range(1, 25):
        root = tmp_path / f"try{nth}"
        src = build(root / "src", spec_src)
        dst = build(root / "dst", spec_dst)
        before = snapshot(dst)
        r = tarn(target, "NtQueryDirectoryFile", nth, "0xC0000022", "-d", src, dst, program="tarn_fault")
        if 'WARNING: unable to open "a"' in r.body:
            break
    else:
        pytest.fail("no planned failure hit the listing of the source folder a")
    assert r.status == 0
    assert snapshot(dst) == before
    assert "- " not in r.body
    # Without the failure the same run removes the extras.
    r = tarn(target, "-d", src, dst)
    assert r.body == "=\n- a\\also\n===\n- c\n"
    assert_same_tree(src, dst)
