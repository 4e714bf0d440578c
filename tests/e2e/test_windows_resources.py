"""The Windows program's resources, read back from the built .exe: the version
resource carries the project's version, the manifest the process settings."""
import os
import re
import struct
import xml.etree.ElementTree as ET

import pytest

RT_VERSION = 16
RT_MANIFEST = 24
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(tarn VERSION (\d+)\.(\d+)\.(\d+)", f.read()).groups()


def pe_resources(data):
    """{(type id, name id): bytes} of a PE32+ image's resource tree."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B
    root_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
    table = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i) for i in range(sections)]

    def offset(rva):
        for size, address, raw_size, raw in table:
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise AssertionError(f"address {rva:#x} outside every section")

    base = offset(root_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<12xHH", data, base + directory)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, base + directory + 16 + 8 * i)

    found = {}
    for type_id, type_dir in entries(0):
        for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
            for _, leaf in entries(name_dir & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                found[(type_id, name_id)] = data[offset(rva):offset(rva) + size]
    return found


def version_blocks(data, at=0):
    """One VS_VERSIONINFO-style block: (key, value bytes, [child blocks])."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    align = lambda n: (n + 3) & ~3
    value_at = align(key_end + 2)
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[value_at:value_at + value_size]
    children, child = [], align(value_at + value_size)
    while child < at + length:
        children.append(version_blocks(data, child))
        child = align(child + struct.unpack_from("<H", data, child)[0])
    return key, value, children


@pytest.fixture
def resources(target):
    if not target.is_wine:
        pytest.skip("resources belong to the Windows program")
    path = target.program("tarn")
    if path is None:
        pytest.skip("tarn is not built")
    with open(path, "rb") as f:
        return pe_resources(f.read())


def test_version_resource_names_the_product_and_the_project_version(resources):
    major, minor, patch = project_version()
    key, fixed, children = version_blocks(resources[(RT_VERSION, 1)])
    assert key == "VS_VERSION_INFO"
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    assert signature == 0xFEEF04BD
    expected = ((int(major) << 16) | int(minor), int(patch) << 16)
    assert (file_ms, file_ls) == expected and (product_ms, product_ls) == expected
    strings = {name: value.decode("utf-16-le").rstrip("\0")
               for block_key, _, tables in children if block_key == "StringFileInfo"
               for _, _, table in tables for name, value, _ in table}
    version = f"{major}.{minor}.{patch}"
    assert strings["ProductName"] == "tarn"
    assert strings["ProductVersion"] == version and strings["FileVersion"] == version
    assert strings["OriginalFilename"] == "tarn.exe"
    assert "folder tree" in strings["FileDescription"]


def test_manifest_asks_for_utf8_long_paths_and_the_callers_rights(resources):
    manifest = ET.fromstring(resources[(RT_MANIFEST, 1)])
    settings = {element.tag.split("}")[1]: element for element in manifest.iter()}
    assert settings["requestedExecutionLevel"].get("level") == "asInvoker"
    assert settings["activeCodePage"].text == "UTF-8"
    assert settings["longPathAware"].text == "true"
