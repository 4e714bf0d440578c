"""Copies made at once: whatever stops a burst of overlapped copies (-e after
the first failure, Ctrl+C), the target holds exactly the files the output
reports added, each whole, and nothing is reported after the stop."""
import os

import pytest

from tree import build, fs_target, interrupt_when, tarn  # noqa: F401 (fixture)


def burst(root, count, size):
    return build(root, {f"f{i:05}": os.urandom(size) for i in range(count)})


def added_and_kept(out, src, dst):
    """The files reported added and the files in the target, each checked
    whole against its source."""
    lines = out.decode().splitlines()
    added = {line[2:] for line in lines if line.startswith("+ ")}
    kept = set(os.listdir(dst))
    for name in kept:
        with open(os.path.join(src, name), "rb") as a, open(os.path.join(dst, name), "rb") as b:
            assert a.read() == b.read(), f"{name} is not a whole copy"
    return lines, added, kept


def test_first_failure_stops_the_burst(fs_target, tmp_path):
    src = burst(tmp_path / "src", 300, 64 << 10)
    dst = tmp_path / "dst"
    # A read fails (the 60th: two per file) while other copies are under way.
    r = tarn(fs_target, "ReadFile", 60, 23, "-e", src, dst, program="tarn_fault")
    assert r.status == 2
    lines, added, kept = added_and_kept(r.out, src, dst)
    warning = next(i for i, line in enumerate(lines) if line.startswith("WARNING: unable to read"))
    assert lines[warning + 1:] == ["ERROR: Aborted on error: " + lines[warning][len("WARNING: "):]]
    assert kept == added and len(added) < 300


def test_interrupt_in_a_burst(fs_target, tmp_path):
    src = burst(tmp_path / "src", 4000, 8 << 10)
    dst = tmp_path / "dst"
    status, out = interrupt_when(fs_target, lambda: dst.exists() and len(os.listdir(dst)) >= 20, src, dst,
                                 pause=0.001)
    assert status == 2
    lines, added, kept = added_and_kept(out, src, dst)
    assert lines[-1] == "ERROR: Aborted due to user request"
    assert kept == added and len(added) < 4000


@pytest.mark.parametrize("switch", ["-j0", "-j65", "-j", "-j99999999999"])
def test_copies_switch_out_of_range(target, tmp_path, switch):
    r = target.run("tarn", switch, tmp_path, tmp_path / "dst")
    assert r.returncode == 4
    assert f'ERROR: Invalid switch "{switch}": -j takes a count of copies from 1 to 64, as in -j4'.encode() in r.stdout
    assert not (tmp_path / "dst").exists()
