"""Engine decisions seen from outside: the events and marks printed, and the
target tree compared with the source after every run that should converge."""
import os
import re
import shutil
import stat
import subprocess
import tempfile

import pytest

from tree import fs_target, BASE_TIME, assert_same_tree, build, is_readonly, set_mtime, snapshot, tarn, write_file, out

SOURCE = {
    "a.txt": "alpha",
    "b.bin": bytes(range(256)) * 3,
    "empty": "",
    "sub": {"x.txt": "x" * 5000, "deep": {"y.obj": "y", "z.c": "z"}},
    "tail": {},
}


def test_fresh_copy_into_missing_target(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", SOURCE)
    dst = str(tmp_path / "dst")
    r = tarn(target, src, dst)
    assert r.status == 0
    assert r.body == out(target, "+ a.txt\n+ b.bin\n+ empty\n+ sub\n+ sub/deep\n+ sub/deep/y.obj\n"
                                 "+ sub/deep/z.c\n+ sub/x.txt\n+ tail\n")
    assert_same_tree(src, dst)
    # A second run finds everything identical: only marks, two per folder.
    r = tarn(target, src, dst)
    assert (r.status, r.body) == (0, "=" * 12 + "\n")
    r = tarn(target, "-v", src, dst)
    assert r.body == out(target, "= a.txt\n= b.bin\n= empty\n= sub\n= sub/deep\n= sub/deep/y.obj\n"
                                 "= sub/deep/z.c\n= sub/deep\n= sub/x.txt\n= sub\n= tail\n= tail\n")
    assert_same_tree(src, dst)


# Within one file system the native program lets the system copy the pieces;
# from another one (tmpfs) the system refuses and they pass through the buffer.
@pytest.mark.parametrize("source_elsewhere", [False, True])
def test_large_file_copied_in_pieces(fs_target, tmp_path, source_elsewhere):
    target = fs_target
    data = os.urandom(3 * 1024 * 1024 + 17)
    if source_elsewhere and not os.path.isdir("/dev/shm"):
        pytest.skip("no /dev/shm")
    top = tempfile.mkdtemp(dir="/dev/shm") if source_elsewhere else str(tmp_path)
    try:
        src = build(os.path.join(top, "src"), {"big": data, "small": "s"})
        dst = build(tmp_path / "dst", {"big": "old"})
        assert tarn(target, "-q", src, dst).status == 0
        assert_same_tree(src, dst)
    finally:
        if source_elsewhere:
            shutil.rmtree(top)


def test_marks_fifty_to_a_line(fs_target, tmp_path):
    target = fs_target
    spec = {f"f{i:03}": "x" for i in range(120)}
    src = build(tmp_path / "src", spec)
    dst = build(tmp_path / "dst", spec)
    r = tarn(target, src, dst)
    assert r.body == "=" * 50 + "\n" + "=" * 50 + "\n" + "=" * 20 + "\n"
    # Marks of any kind share a line; a full line starts on a fresh one.
    write_file(os.path.join(dst, "f003"), "changed")
    write_file(os.path.join(dst, "zz"), "extra")
    r = tarn(target, src, dst)
    assert r.body == "===\n- f003\n+ f003\n" + "=" * 50 + "\n" + "=" * 50 + "\n" + "=" * 16 + "?\n"


# Write-time distance between a source and a target file of equal size.
@pytest.mark.parametrize("delta, same", [
    (0, True), (2, True), (-2, True), (3, False), (1799, False), (3598, True), (3600, True),
    (-3602, True), (3603, False), (7200, True), (86400, True), (86401, False), (90000, False),
])
def test_write_time_match(fs_target, tmp_path, delta, same):
    target = fs_target
    src = build(tmp_path / "src", {"f": "same size"})
    dst = build(tmp_path / "dst", {"f": "SAME SIZE"}, mtime=BASE_TIME + delta)
    r = tarn(target, src, dst)
    assert r.status == 0
    if same:
        assert r.body == "=\n"
        assert open(os.path.join(dst, "f")).read() == "SAME SIZE"
    else:
        assert r.body == "- f\n+ f\n"
        assert_same_tree(src, dst)


# Times 0 and all ones (1601-01-01 00:00:00 and 100 ns before) mean "leave
# unchanged" to the system: the copy gets the next time kept, equal to both.
@pytest.mark.parametrize("ticks", [0, -1])
def test_write_time_the_system_cannot_set(fs_target, ticks):
    top = tempfile.mkdtemp(dir="/dev/shm")  # tmpfs keeps times before 1901
    try:
        src, dst = build(os.path.join(top, "src"), {"f": "data"}), os.path.join(top, "dst")
        start = -11644473600 * 10**9
        os.utime(os.path.join(src, "f"), ns=(start, start + ticks * 100))
        assert tarn(fs_target, "-q", src, dst).status == 0
        assert os.stat(os.path.join(dst, "f")).st_mtime_ns == start + 100
        assert tarn(fs_target, src, dst).body == "=\n"
    finally:
        shutil.rmtree(top)


def test_size_difference_replaces(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"f": "longer text"})
    dst = build(tmp_path / "dst", {"f": "short"})
    r = tarn(target, src, dst)
    assert r.body == "- f\n+ f\n"
    assert_same_tree(src, dst)


def test_always_replace(fs_target, tmp_path):
    target = fs_target
    spec = {"f": "f", "sub": {"g": "g"}}
    src = build(tmp_path / "src", spec)
    dst = build(tmp_path / "dst", spec)
    r = tarn(target, "-a", src, dst)
    # Files are replaced even though identical; the folder is identical twice.
    assert r.body == out(target, "- f\n+ f\n=\n- sub/g\n+ sub/g\n=\n")
    assert_same_tree(src, dst)


def test_keep_existing(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"same": "s", "diff": "new content", "new": "n"})
    dst = build(tmp_path / "dst", {"same": "s", "diff": "old"})
    r = tarn(target, "-k", "-v", src, dst)
    assert r.body == "? diff\n+ new\n= same\n"
    assert open(os.path.join(dst, "diff")).read() == "old"


def test_ignore_times(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"t": "same", "s": "size differs"})
    dst = build(tmp_path / "dst", {"t": "SAME", "s": "small"}, mtime=BASE_TIME + 5)
    r = tarn(target, "-i", "-v", src, dst)
    assert r.body == "- s\n+ s\n= t\n"
    assert open(os.path.join(dst, "t")).read() == "SAME"


def test_extras_kept_by_default_and_removed_with_d(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"keep": "k"})
    dst = build(tmp_path / "dst", {"keep": "k", "extra": {"e1": "1", "inner": {"e2": "2"}}, "z": "z"})
    r = tarn(target, "-v", src, dst)
    # An extra folder is reported at both of its deliveries.
    assert r.body == out(target, "? extra\n? extra/e1\n? extra/inner\n? extra/inner/e2\n? extra/inner\n"
                                 "? extra\n= keep\n? z\n")
    assert sorted(snapshot(dst)) == ["extra", "extra/e1", "extra/inner", "extra/inner/e2", "keep", "z"]
    r = tarn(target, "-d", src, dst)
    # Contents first, each folder last.
    assert r.body == out(target, "- extra/e1\n- extra/inner/e2\n- extra/inner\n- extra\n=\n- z\n")
    assert_same_tree(src, dst)


def test_filters_restrict_and_prune(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", SOURCE)
    dst = str(tmp_path / "dst")
    r = tarn(target, "-q", "-v", src, dst, "-**.obj", "-tail")
    assert r.status == 0
    got = snapshot(dst)
    assert "sub/deep/y.obj" not in got and "tail" not in got
    assert "sub/deep/z.c" in got and "a.txt" in got


def test_virtual_source_filtered_delete(fs_target, tmp_path):
    target = fs_target
    dst = build(tmp_path / "dst", {"a.obj": "o", "a.c": "c", "sub": {"b.obj": "o", "b.h": "h"}})
    # Without -d nothing is removed; extras are only reported.
    r = tarn(target, "-p", dst, "+**.obj")
    assert (r.status, r.body) == (0, "???\n")
    r = tarn(target, "-d", "-p", dst, "+**.obj")
    assert r.status == 0
    assert r.body == out(target, "- a.obj\n- sub/b.obj\n")
    assert sorted(snapshot(dst)) == ["a.c", "sub", "sub/b.h"]


def test_virtual_source_delete_all_with_test_run(fs_target, tmp_path):
    target = fs_target
    dst = build(tmp_path / "dst", {"a": "a", "sub": {"b": "b"}})
    before = snapshot(dst)
    r = tarn(target, "-d", "-t", "-p", dst)
    assert r.body == out(target, "- a\n- sub/b\n- sub\n")
    assert snapshot(dst) == before


def test_test_run_changes_nothing(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", SOURCE)
    dst = build(tmp_path / "dst", {"a.txt": "different", "extra": {"e": "e"}, "sub": "a file"})
    before = snapshot(tmp_path)
    r = tarn(target, "-t", "-d", src, dst)
    assert r.status == 0
    assert r.body == out(target, "- a.txt\n+ a.txt\n+ b.bin\n+ empty\n- extra/e\n- extra\n- sub\n+ sub\n"
                                 "+ sub/deep\n+ sub/deep/y.obj\n+ sub/deep/z.c\n+ sub/x.txt\n+ tail\n")
    assert snapshot(tmp_path) == before
    # A missing target is taken as empty and not created.
    r = tarn(target, "-t", src, tmp_path / "missing")
    assert r.status == 0 and r.body.count("+ ") == 9
    assert not (tmp_path / "missing").exists()


def bytes_read_per_file(log):
    """Sums the bytes that read calls returned, per file path, from an
    strace log written with -y (paths of descriptors)."""
    totals = {}
    pattern = re.compile(r"\b(?:read|pread64)\(\d+<([^>]*)>, .*\)\s+=\s+(\d+)")
    # With several threads a call may be split: "<unfinished ...>", then
    # "<... read resumed>" on a later line of the same process.
    started = re.compile(r"^(\d+)\s+(?:read|pread64)\(\d+<([^>]*)>.*<unfinished \.\.\.>")
    resumed = re.compile(r"^(\d+)\s+<\.\.\. (?:read|pread64) resumed>.*\)\s+=\s+(\d+)")
    pending = {}
    for line in log.splitlines():
        m = pattern.search(line)
        if m:
            totals[m.group(1)] = totals.get(m.group(1), 0) + int(m.group(2))
        elif m := started.search(line):
            pending[m.group(1)] = m.group(2)
        elif (m := resumed.search(line)) and m.group(1) in pending:
            path = pending.pop(m.group(1))
            totals[path] = totals.get(path, 0) + int(m.group(2))
    return totals


def test_read_through_reads_everything_and_writes_nothing(fs_target, tmp_path):
    target = fs_target
    mib = 1024 * 1024
    src = build(tmp_path / "src", {"big": os.urandom(2 * mib + 5), "small": "s", "sub": {"z": "zz"}})
    before = snapshot(tmp_path)
    log = tmp_path.parent / (tmp_path.name + ".strace")
    command = target.command("tarn", "-r", src)
    if shutil.which("strace"):
        command = ["strace", "-f", "-y", "-s", "0", "-e", "trace=read,pread64", "-o", str(log)] + command
    # The leak checker of a sanitizer build cannot run under strace.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    r = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       stdin=subprocess.DEVNULL, timeout=300, env=env)
    assert r.returncode == 0
    assert r.stdout.decode().split("target: \n", 1)[1] == out(target, "+ big\n+ small\n+ sub\n+ sub/z\n")
    assert snapshot(tmp_path) == before
    if not log.exists():
        pytest.skip("strace is not usable here; only the events were checked")
    totals = bytes_read_per_file(log.read_text(errors="replace"))
    os.unlink(log)
    if not totals:
        pytest.skip("strace recorded no reads; only the events were checked")
    # Every byte of every file was read.
    assert totals.get(os.path.join(src, "big")) == 2 * mib + 5
    assert totals.get(os.path.join(src, "small")) == 1
    assert totals.get(os.path.join(src, "sub", "z")) == 2


def test_read_only_target_file_is_replaced(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"f": "new contents", "ro": "source read-only"})
    os.chmod(os.path.join(src, "ro"), 0o444)
    dst = build(tmp_path / "dst", {"f": "old"})
    os.chmod(os.path.join(dst, "f"), 0o444)
    r = tarn(target, src, dst)
    assert r.body == "- f\n+ f\n+ ro\n"
    assert_same_tree(src, dst)
    # The copy takes the source's read-only state.
    assert not is_readonly(os.path.join(dst, "f"))
    assert is_readonly(os.path.join(dst, "ro"))
    # And a read-only extra is removed with -d.
    os.unlink(os.path.join(src, "f"))
    os.chmod(os.path.join(dst, "f"), 0o444)
    r = tarn(target, "-d", src, dst)
    assert r.body == "- f\n=\n"


def test_source_folder_replaces_target_file(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"x": {"y": "y"}})
    dst = build(tmp_path / "dst", {"x": "a file"})
    r = tarn(target, src, dst)
    assert r.body == out(target, "- x\n+ x\n+ x/y\n")
    assert_same_tree(src, dst)


def test_source_file_against_target_folder(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"x": "a file"})
    dst = build(tmp_path / "dst", {"x": {"y": "y"}})
    # The folder is not removed in the same step, so the file cannot be made.
    r = tarn(target, src, dst)
    assert r.body == 'WARNING: unable to create "x"\n??\n'
    assert sorted(snapshot(dst)) == ["x", "x/y"]
    r = tarn(target, "-d", src, dst)
    assert r.body == out(target, 'WARNING: unable to create "x"\n- x/y\n- x\n')
    r = tarn(target, "-d", src, dst)
    assert r.body == "+ x\n"
    assert_same_tree(src, dst)


def test_case_only_differences(fs_target, tmp_path):
    target = fs_target
    # Upper case sorts first. Source Foo.txt against target foo.txt: Foo.txt
    # is new, foo.txt extra.
    src = build(tmp_path / "src", {"Foo.txt": "src"})
    dst = build(tmp_path / "dst", {"foo.txt": "dst"})
    r = tarn(target, src, dst)
    if target.is_wine:
        # Names are looked up without regard to case: foo.txt is in the way.
        assert r.body == 'WARNING: unable to create "Foo.txt"\n?\n'
    else:
        assert r.body in ('WARNING: unable to create "Foo.txt"\n?\n', "+ Foo.txt\n?\n")
    assert open(os.path.join(dst, "foo.txt")).read() == "dst"

    # Source foo.txt against target Foo.txt: Foo.txt goes first, then foo.txt.
    src = build(tmp_path / "src2", {"foo.txt": "src"})
    dst = build(tmp_path / "dst2", {"Foo.txt": "dst"})
    r = tarn(target, "-d", src, dst)
    assert r.body == "- Foo.txt\n+ foo.txt\n"
    assert_same_tree(src, dst)


def test_identical_links_and_link_copy(fs_target, tmp_path):
    target = fs_target
    if target.is_wine:
        pytest.skip("Wine does not support symbolic links (reparse points)")
    src = build(tmp_path / "src", {"f": "f", "d": {}})
    os.symlink("f", os.path.join(src, "lf"))
    dst = str(tmp_path / "dst")
    r = tarn(target, src, dst)
    assert r.status == 0
    assert "+ lf\n" in r.body
    assert os.readlink(os.path.join(dst, "lf")) == "f"
    r = tarn(target, "-v", src, dst)
    assert "= lf\n" in r.body


def test_link_to_folder_in_target_is_removed_as_itself(fs_target, tmp_path):
    target = fs_target
    if target.is_wine:
        pytest.skip("Wine does not support symbolic links (reparse points)")
    src = build(tmp_path / "src", {"d": "now a file"})
    outside = build(tmp_path / "outside", {"keep": "k"})
    dst = build(tmp_path / "dst", {"extra": "e"})
    os.symlink(outside, os.path.join(dst, "d"))
    os.symlink(outside, os.path.join(dst, "link"))
    r = tarn(target, "-d", src, dst)
    assert r.body == "- d\n+ d\n- extra\n- link\n"
    assert_same_tree(src, dst)
    assert sorted(snapshot(outside)) == ["keep"]


def test_compare_finds_a_flipped_byte(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"d": {"f": "hello world"}, "g": "same"})
    dst = str(tmp_path / "dst")
    assert tarn(target, "-q", src, dst).status == 0
    f = os.path.join(dst, "d", "f")
    write_file(f, "hellO world")   # same size, and the time put back below
    set_mtime(f, BASE_TIME)
    flipped = out(target, "d/f")
    for args, body, data in [
        ([], "====\n", "hellO world"),                                      # size and time agree
        (["-c", "-k"], "=?==\n", "hellO world"),                           # told, kept
        (["-c", "-t"], f"=\n- {flipped}\n+ {flipped}\n==\n", "hellO world"),  # told only
        (["-c"], f"=\n- {flipped}\n+ {flipped}\n==\n", "hello world"),      # replaced
        (["-c"], "====\n", "hello world"),
    ]:
        r = tarn(target, *args, src, dst)
        assert (r.status, r.body, open(f).read()) == (0, body, data), args


def test_summary_counts_agree_with_the_event_lines(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"same": "s", "dir": {"x": "x", "new": "n"}, "changed": "new!", "empty": {}})
    dst = build(tmp_path / "dst", {"same": "s", "dir": {"x": "x"}, "changed": "old", "gone": {"g": "g"}})
    for args, counts in [
        (["-t"], dict(copied=2, replaced=1, removed=0, kept=2, identical=3, failed=0, bytes=5)),
        (["-d"], dict(copied=2, replaced=1, removed=2, kept=0, identical=3, failed=0, bytes=5)),
    ]:
        r = tarn(target, "-v", "-s", *args, src, dst)
        lines = r.body.splitlines()
        summary = lines.pop()
        assert summary.startswith("summary: ") and summary.endswith(" (test run)") == ("-t" in args), summary
        got = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", summary)}
        assert {k: got[k] for k in counts} == counts
        # The same from the event lines: a replacement shows as - and +.
        marks = [line[0] for line in lines]
        assert marks.count("+") == got["copied"] + got["replaced"]
        assert marks.count("-") == got["removed"] + got["replaced"]
        assert len({line for line in lines if line[0] == "?"}) == got["kept"]
        assert len({line for line in lines if line[0] == "="}) == got["identical"]
