"""The command line: usage text, switches, argument errors and their exit
statuses, header lines."""
import os
import re
import subprocess

import pytest

from tree import fs_target, build, snapshot, tarn, shown, out

USAGE = (
    b"Larchwood\n"
    b"build 26AL\n"
    b"syntax: tarn [<switch> ..] [-p | <source>] [ -r | <target>] [[+|-]<filter> ...]\n"
    b"switches:\n"
    b"  -a  Always replace target, even when appears identical to source files.\n"
    b"  -d  Delete files in target that don't exist in source.\n"
    b"  -e  Abort on error.\n"
    b"  -i  Ignore times when determining if files are identical.\n"
    b"  -k  Do not replace existing files.\n"
    b"  -p  Source is a virtual empty folder, for use with -d to facilitate filtered deletions.\n"
    b"  -q  Less verbose output.\n"
    b"  -r  Target is a virtual empty folder, to facilitate verify/recall/caching of source files.\n"
    b"  -t  Test run, make no modifications.\n"
    b"  -v  More verbose output.\n"
    b"  -  Remaining arguments are not switches.\n"
    b"If <source> contains wildcards, the portion up to the first element containing wildcards will be "
    b"used as the source folder and the remaining elements will be used as a + filter. Wilcards are not "
    b"processed in the <target>.\n"
    b"If no filters are specified then all files are processed.\n"
    b"examples:\n"
    b"   tarn source backup -**.obj -**.lib +tools/**\n"
    b"   tarn source backup *.cpp\n"
    b"   tarn source/*.cpp backup\n"
    b"   tarn -d -p backup +**.obj\n"
    b"   tarn source -r\n"
)

MISSING = b"ERROR: Must specify source and target\n"


@pytest.fixture
def trees(tmp_path):
    src = build(tmp_path / "src", {"a.txt": "a", "sub": {"b.txt": "bb"}})
    dst = str(tmp_path / "dst")
    return src, dst


@pytest.mark.parametrize("args", [
    [],
    ["-h"], ["/H"], ["-?"], ["/?"],
    ["-h", "no-such-source", "no-such-target"],   # later arguments are not read
    ["-q", "-?", "-p", "-p"],                     # not even the ones that would fail
    ["src", "-h", "dst"],
    ["--help"], ["src", "--help", "-n"],
])
def test_usage_text_and_status(target, tmp_path, args):
    r = tarn(target, *args, cwd=tmp_path)
    assert (r.status, r.out) == (0, USAGE)


@pytest.mark.parametrize("args, line", [
    (["only-one"], MISSING),
    (["-t"], MISSING),
    (["-p"], MISSING),
    (["-p", "-p", "x"], b"ERROR: -p implies an empty source folder, but source folder was already specified.\n"),
    (["src", "-p", "x"], b"ERROR: -p implies an empty source folder, but source folder was already specified.\n"),
    (["-r", "-r", "src"], b"ERROR: -r implies an empty target folder, but target folder was already specified.\n"),
    (["src", "dst", "-r"], b"ERROR: -r implies an empty target folder, but target folder was already specified.\n"),
    (["//x", "dst"], b'ERROR: Invalid source "//x"\n'),
    (["/*.cpp", "dst"], b'ERROR: Invalid source ""\n'),
    (["", "dst"], b'ERROR: Invalid source ""\n'),
    (["src", "///"], b'ERROR: Invalid target "///"\n'),
    # An empty argument (an unset variable) never stands for the current folder.
    (["-d", "src", ""], b'ERROR: Invalid target ""\n'),
    (["-d", "-p", ""], b'ERROR: Invalid target ""\n'),
    (["-d", "", "-r"], b'ERROR: Invalid source ""\n'),
    # Unknown switches stop the run: a typo never turns a test run into a real one.
    (["src", "//"], b'ERROR: Unknown switch "//" (tarn -h lists the switches)\n'),
    (["-t", "-n", "src", "dst"], b'ERROR: Unknown switch "-n" (tarn -h lists the switches)\n'),
    (["src", "dst", "--delete"], b'ERROR: Unknown switch "--delete" (tarn -h lists the switches)\n'),
    (["--dry-run", "src", "dst"], b'ERROR: Unknown switch "--dry-run" (tarn -h lists the switches)\n'),
])
def test_argument_errors(target, tmp_path, args, line):
    build(tmp_path / "src", {"a": "a"})
    before = snapshot(tmp_path)
    r = tarn(target, *args, cwd=tmp_path)
    assert (r.status, r.out) == (4, line)
    assert snapshot(tmp_path) == before   # nothing touched


def test_argument_error_stops_reading(target, tmp_path):
    # The first error ends the reading: the later unknown switch is not seen.
    r = tarn(target, "-p", "-p", "-x", cwd=tmp_path)
    assert r.out == b"ERROR: -p implies an empty source folder, but source folder was already specified.\n"


def test_engine_results_to_statuses(fs_target, tmp_path):
    target = fs_target
    build(tmp_path / "src", {"a": "a"})
    build(tmp_path / "file-parent", {"f": "x"})
    missing = tmp_path / "missing"
    r = tarn(target, missing, tmp_path / "dst", cwd=tmp_path)
    assert r.status == 8
    assert r.body == f'ERROR: Unable to open source folder "{shown(target, missing)}"\n'
    assert not (tmp_path / "dst").exists()

    # Only the last level of a target is created; a missing parent fails,
    # and a test run says so too.
    deep = tmp_path / "no" / "such" / "dst"
    for test_run in ([], ["-t"]):
        r = tarn(target, *test_run, tmp_path / "src", deep, cwd=tmp_path)
        assert r.status == 5
        assert r.body == f'ERROR: Unable to open or create target folder "{shown(target, deep)}"\n'
        assert not (tmp_path / "no").exists()

    # A target that exists but is not a folder.
    r = tarn(target, tmp_path / "src", tmp_path / "file-parent" / "f", cwd=tmp_path)
    assert r.status == 5
    assert r.body.startswith("ERROR: Unable to open or create target folder")


def test_end_of_switches_and_version(fs_target, trees):
    target = fs_target
    src, dst = trees
    # After "--" (as after "-") an argument starting with "--" is a filter.
    r = tarn(target, "-q", "--", src, dst, "--x")
    assert r.status == 0 and os.path.exists(os.path.join(dst, "sub", "b.txt"))
    r = tarn(target, "--version", "-n")
    assert r.status == 0 and re.fullmatch(rb"tarn \d+\.\d+\.\d+\n", r.out), r.out


def test_header_lines_show_resolved_paths(fs_target, tmp_path, trees):
    target = fs_target
    src, dst = trees
    r = tarn(target, "src/../src", "dst", "+**", "-*.obj", cwd=tmp_path)
    assert r.status == 0
    assert r.header == (f"source: {shown(target, src)}\n"
                        f"target: {shown(target, dst)}\n"
                        "filter: +**\nfilter: -*.obj\n")
    r = tarn(target, "-q", "src", "dst", "+**", cwd=tmp_path)
    assert r.header == ""
    r = tarn(target, "-q", "-v", "src", "dst", cwd=tmp_path)
    assert r.header.startswith("source: ")


def test_device_form_source_is_no_wildcard(fs_target, trees):
    target = fs_target
    if not target.is_wine:
        pytest.skip("the \\\\?\\ form is a Windows path form")
    src, dst = trees
    device = "\\\\?\\" + shown(target, src)
    r = tarn(target, "-t", device, dst)
    assert r.status == 0
    assert r.header == f"source: {device}\ntarget: {shown(target, dst)}\n"


def test_header_of_virtual_sides(fs_target, tmp_path, trees):
    target = fs_target
    src, dst = trees
    r = tarn(target, "-t", "-p", dst, "+**.obj", cwd=tmp_path)
    assert r.header == f"source: \ntarget: {shown(target, dst)}\nfilter: +**.obj\n"
    r = tarn(target, "-r", src, cwd=tmp_path)
    assert r.header == f"source: {shown(target, src)}\ntarget: \n"


def test_dash_ends_switches(fs_target, tmp_path):
    target = fs_target
    src = build(tmp_path / "src", {"d": "d", "e": "e"})
    dst = build(tmp_path / "dst", {"x": "x"})
    # After "-", -d is a filter (excluding the entry named d), not a switch;
    # a further "-" is dropped and never positional.
    r = tarn(target, src, dst, "-", "-", "-d", "-v", cwd=tmp_path)
    assert r.status == 0
    assert r.header.endswith("filter: -d\nfilter: -v\n")
    assert sorted(os.listdir(dst)) == ["e", "x"]   # x kept: -d was not a switch


def test_slash_introduces_switches(fs_target, trees):
    target = fs_target
    src, dst = trees
    r = tarn(target, "/t", "/V", src, dst)
    assert r.status == 0
    assert out(target, "+ sub/b.txt\n") in r.body
    assert not os.path.exists(dst)


def test_switch_letters_fold_and_longer_arguments_are_positional(fs_target, tmp_path, trees):
    target = fs_target
    src, dst = trees
    # -T is -t; "-tq" is three bytes long and therefore a positional argument
    # (here a filter).
    r = tarn(target, "-T", src, dst, "-tq")
    assert r.status == 0
    assert r.header.endswith("filter: -tq\n")
    assert not os.path.exists(dst)


def test_a_console_shows_names_as_they_are(target, tmp_path):
    """With standard output on a terminal (a console under Wine), a name
    outside the console's code page arrives as its characters; a file gets
    the same UTF-8 bytes."""
    import pty
    import select

    name = "Grüße_名前_Ω.txt"
    src = build(tmp_path / "src", {name: "x"})
    args = ("-t", shown(target, src), shown(target, tmp_path / "dst"))
    master, slave = pty.openpty()
    proc = subprocess.Popen(target.command("tarn", *args), stdin=slave, stdout=slave,
                            stderr=subprocess.DEVNULL, env=dict(os.environ, LANG="C.UTF-8"))
    os.close(slave)
    shown_bytes = b""
    try:
        while select.select([master], [], [], 60)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal is closed
                break
            if not chunk:
                break
            shown_bytes += chunk
        assert proc.wait(timeout=60) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
        os.close(master)
    assert ("+ " + name).encode() in shown_bytes, shown_bytes
    assert ("+ " + name + "\n").encode() in tarn(target, *args).out
