"""The source argument split into a folder and a derived "+" filter."""
import os

import pytest

from tree import fs_target, build, snapshot, tarn, shown

SPEC = {"a.cpp": "a", "b.h": "b", "sub": {"c.cpp": "c", "d.txt": "d"}, "s1": {"x.c": "x"}}


@pytest.mark.parametrize("arg, folder, filter_, copied", [
    ("src/*.cpp", "src", "+*.cpp", ["a.cpp"]),
    ("src/**.cpp", "src", "+**.cpp", ["a.cpp", "sub", "sub/c.cpp"]),
    ("src/s?b/*.txt", "src", "+s?b/*.txt", ["sub", "sub/d.txt"]),
    ("src/sub/*.cpp", "src/sub", "+*.cpp", ["c.cpp"]),
    ("src\\sub\\*.cpp", "src/sub", "+*.cpp", ["c.cpp"]),
])
def test_wildcard_source(fs_target, tmp_path, arg, folder, filter_, copied):
    target = fs_target
    if "\\" in arg and not target.is_wine:
        pytest.skip("on Linux a backslash is part of a name")
    build(tmp_path / "src", SPEC)
    r = tarn(target, arg, "dst", cwd=tmp_path)
    assert r.status == 0
    assert r.header == (f"source: {shown(target, tmp_path / folder)}\n"
                        f"target: {shown(target, tmp_path / 'dst')}\nfilter: {filter_}\n")
    assert sorted(snapshot(tmp_path / "dst")) == copied


def test_wildcard_without_folder_uses_current_folder(fs_target, tmp_path):
    target = fs_target
    build(tmp_path / "src", SPEC)
    r = tarn(target, "*.cpp", "../dst", "-q", cwd=tmp_path / "src")
    assert r.status == 0
    assert sorted(snapshot(tmp_path / "dst")) == ["a.cpp"]
    r = tarn(target, "*.cpp", "../dst2", cwd=tmp_path / "src")
    assert r.header.startswith(f"source: {shown(target, tmp_path / 'src')}\n")
    assert r.header.endswith("filter: +*.cpp\n")


def test_derived_filter_comes_first(fs_target, tmp_path):
    target = fs_target
    build(tmp_path / "src", SPEC)
    r = tarn(target, "src/*", "dst", "-b.h", cwd=tmp_path)
    assert r.header.endswith("filter: +*\nfilter: -b.h\n")
    assert sorted(snapshot(tmp_path / "dst")) == ["a.cpp", "s1", "s1/x.c", "sub", "sub/c.cpp", "sub/d.txt"]


def test_existing_file_as_source(fs_target, tmp_path):
    target = fs_target
    build(tmp_path / "src", SPEC)
    r = tarn(target, "src/sub/c.cpp", "dst", cwd=tmp_path)
    assert r.status == 0
    assert r.header == (f"source: {shown(target, tmp_path / 'src' / 'sub')}\n"
                        f"target: {shown(target, tmp_path / 'dst')}\nfilter: +c.cpp\n")
    assert r.body == "+ c.cpp\n"
    assert sorted(snapshot(tmp_path / "dst")) == ["c.cpp"]
    # A bare file name: the folder is the current one.
    r = tarn(target, "b.h", "../dst2", cwd=tmp_path / "src")
    assert r.header.startswith(f"source: {shown(target, tmp_path / 'src')}\n")
    assert r.header.endswith("filter: +b.h\n")
    assert r.body == "+ b.h\n"


def test_folder_source_has_no_derived_filter(fs_target, tmp_path):
    target = fs_target
    build(tmp_path / "src", SPEC)
    for arg in ["src", "src/", "src/sub/../"]:
        r = tarn(target, "-t", arg, "dst", cwd=tmp_path)
        assert r.status == 0
        assert "filter:" not in r.header
