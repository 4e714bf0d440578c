"""Builds the benchmark trees of bench/run: deterministic names, sizes and
write times, so every run and every machine measures the same trees.

Each tree is built under a temporary name and renamed when complete, so an
interrupted build is started again rather than measured half made."""

import os
import random
import shutil
import subprocess

# Whole-second write times: every tool copies them exactly, so a re-run finds
# nothing to do whichever tool made the target.
BASE_TIME = 1_700_000_000
CHUNK = 1 << 20


def _ready(path):
    return os.path.isdir(path)


def _finish(tmp, path):
    os.rename(tmp, path)
    return path


def _start(path):
    tmp = path + ".partial"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    return tmp


def file_names(folders, files_per_folder):
    """Relative file paths of a tree of `folders` folders, in creation order."""
    for d in range(folders):
        for f in range(files_per_folder):
            yield os.path.join("d%04d" % d, "f%04d.dat" % f)


def small_files(path, folders, files_per_folder, max_size=4096, seed=1):
    """Files of 0..max_size bytes in `folders` folders."""
    if _ready(path):
        return path
    tmp = _start(path)
    rng = random.Random(seed)
    blob = rng.randbytes(2 * max_size)
    for d in range(folders):
        os.mkdir(os.path.join(tmp, "d%04d" % d))
    for i, rel in enumerate(file_names(folders, files_per_folder)):
        size = rng.randint(0, max_size)
        full = os.path.join(tmp, rel)
        with open(full, "wb") as f:
            f.write(blob[i % max_size:i % max_size + size])
        t = BASE_TIME + i
        os.utime(full, (t, t))
    return _finish(tmp, path)


def big_file(path, size, seed=2):
    """A folder holding one file of `size` bytes of incompressible data."""
    if _ready(path):
        return path
    tmp = _start(path)
    rng = random.Random(seed)
    block = rng.randbytes(CHUNK)
    with open(os.path.join(tmp, "big.bin"), "wb") as f:
        written = 0
        while written < size:
            n = min(CHUNK, size - written)
            # Rotate the block so no two pieces are equal.
            k = (written // CHUNK) % CHUNK
            f.write((block[k:] + block[:k])[:n])
            written += n
    os.utime(os.path.join(tmp, "big.bin"), (BASE_TIME, BASE_TIME))
    return _finish(tmp, path)


def sparse_file(path, size, data, seed=6):
    """A folder holding one file of `size` bytes whose only data is `data`
    bytes in 64 KiB pieces spread evenly; the rest are holes."""
    if _ready(path):
        return path
    tmp = _start(path)
    rng = random.Random(seed)
    piece = 64 << 10
    pieces = max(1, data // piece)
    full = os.path.join(tmp, "sparse.img")
    with open(full, "wb") as f:
        f.truncate(size)
        for i in range(pieces):
            f.seek((size // pieces) * i)
            f.write(rng.randbytes(piece))
    os.utime(full, (BASE_TIME, BASE_TIME))
    return _finish(tmp, path)


def obj_name(i):
    """Every tenth entry matches +**.obj."""
    return "e%07d.%s" % (i, "obj" if i % 10 == 0 else "txt")


def empty_files(path, folders, files_per_folder):
    """Empty files, a tenth of them named *.obj. folders == 0: all in the root."""
    if _ready(path):
        return path
    tmp = _start(path)
    for d in range(folders):
        os.mkdir(os.path.join(tmp, "d%04d" % d))
    for rel in empty_file_names(folders, files_per_folder):
        os.close(os.open(os.path.join(tmp, rel), os.O_CREAT | os.O_WRONLY, 0o644))
    return _finish(tmp, path)


def empty_file_names(folders, files_per_folder):
    if folders == 0:
        for i in range(files_per_folder):
            yield obj_name(i)
        return
    for d in range(folders):
        for i in range(files_per_folder):
            yield os.path.join("d%04d" % d, obj_name(i))


def restore_objs(path, folders, files_per_folder):
    """Recreates the *.obj files a filtered deletion removed."""
    for rel in empty_file_names(folders, files_per_folder):
        if rel.endswith(".obj"):
            full = os.path.join(path, rel)
            os.close(os.open(full, os.O_CREAT | os.O_WRONLY, 0o644))


def copy_tree(src, dst):
    """A target that already matches `src` (cp -a keeps the write times);
    also a copy of a system tree, made once (as root every file is read)."""
    if _ready(dst):
        return dst
    tmp = dst + ".partial"
    shutil.rmtree(tmp, ignore_errors=True)
    subprocess.run(["cp", "-a", src, tmp], check=True)
    return _finish(tmp, dst)


class Changes:
    """A stale target of a `small_files` tree: 10% of the files differ (half
    in size, half in write time), 1% are missing (added to the source since),
    and 1% extra files exist that the source lacks (deleted from it since)."""

    def __init__(self, src, dst, folders, files_per_folder, seed=3):
        self.src, self.dst = src, dst
        rng = random.Random(seed)
        names = list(file_names(folders, files_per_folder))
        picked = rng.sample(names, len(names) * 11 // 100)
        n_changed = len(names) // 10
        self.resized = picked[:n_changed // 2]
        self.retimed = picked[n_changed // 2:n_changed]
        self.missing = picked[n_changed:]
        self.extra = [os.path.join("d%04d" % rng.randrange(folders), "x%05d.dat" % i)
                      for i in range(len(names) // 100)]

    def reset(self):
        """Puts the target back into its stale state (outside any timing)."""
        copy_tree(self.src, self.dst)
        for rel in self.resized:
            s, d = os.path.join(self.src, rel), os.path.join(self.dst, rel)
            st = os.stat(s)
            with open(d, "wb") as f:
                f.write(b"x" * (st.st_size + 7))
            os.utime(d, ns=(st.st_mtime_ns, st.st_mtime_ns))
        for rel in self.retimed:
            s, d = os.path.join(self.src, rel), os.path.join(self.dst, rel)
            t = os.stat(s).st_mtime_ns - 1000 * 10**9  # not a whole number of hours
            os.utime(d, ns=(t, t))
        for rel in self.missing:
            try:
                os.unlink(os.path.join(self.dst, rel))
            except FileNotFoundError:
                pass
        for rel in self.extra:
            with open(os.path.join(self.dst, rel), "wb") as f:
                f.write(b"extra")
