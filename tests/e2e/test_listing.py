"""The tree lister's stream on real folders, read through the list_tree test
program: names that differ only in case, and a generated tree of more than
10,000 entries compared with an independent walk and filter matcher."""
import os
import random
import re

import pytest


def list_tree(target, root, *filters, flags=None):
    args = ([f"--flags={flags}"] if flags is not None else []) + [root] + list(filters)
    done = target.run("list_tree", *args, timeout=600)
    out = done.stdout.decode("utf-8")
    if done.returncode == 1 and out.startswith("open failed"):
        if not target.is_wine:
            pytest.skip("the POSIX layer does not map the native directory calls yet (" + out.strip() + ")")
    assert done.returncode == 0, out
    return out.splitlines()


# ------------------------------------------------------------------ oracle

def fold_key(name):
    # Simple case folding of the names used here (ASCII and a few Latin and
    # Greek letters) is lower-casing; ties are broken by the exact text.
    return (name.lower(), name)


def filter_regex(argument):
    """The prepared pattern of a filter argument as a regular expression."""
    sign = "+"
    if argument[:1] in "+-":
        sign, argument = argument[0], argument[1:]
    parts = [p for p in re.split(r"[\\/]+", argument) if p not in ("", ".")]
    pattern = "\\".join(parts) + "\\**"
    out, i = [], 0
    while i < len(pattern):
        c = pattern[i]
        if c == "*":
            j = i
            while j < len(pattern) and pattern[j] == "*":
                j += 1
            if j - i >= 2 and j < len(pattern) and pattern[j] in "\\/":
                out.append(r"(?:.*[\\/])?")
                j += 1
            elif j - i >= 2:
                out.append(".*")
            else:
                out.append(r"[^\\/]*")
            i = j
            continue
        if c == "?":
            out.append(r"[^\\/]")
        elif c in "\\/":
            out.append(r"[\\/]")
        else:
            out.append(re.escape(c))
        i += 1
    return sign, re.compile("".join(out), re.S)


def selects(filters, rel):
    value = not filters or filters[0][0] == "-"
    for sign, rx in filters:
        if rx.fullmatch(rel + "\\"):
            value = sign == "+"
    return value


def expected_stream(root, filter_args, after_contents=True):
    """A plain recursive walk: a selected entry comes after its enclosing
    folders not yet delivered; a selected folder again after its contents."""
    filters = [filter_regex(a) for a in filter_args]
    out, owed = [], []

    def walk(folder, rel):
        for name in sorted(os.listdir(folder), key=fold_key):
            path = os.path.join(folder, name)
            r = name if not rel else rel + "\\" + name
            is_dir = os.path.isdir(path) and not os.path.islink(path)
            chosen = selects(filters, r)
            if chosen:
                for entry in owed:
                    if not entry[1]:
                        out.append(f"= {entry[0]}|d")
                        entry[1] = True
                out.append(f"= {r}|{'d' if is_dir else ''}")
            if is_dir:
                owed.append([r, chosen])
                walk(path, r)
                owed.pop()
                if chosen and after_contents:
                    out.append(f"= {r}|da")

    walk(root, "")
    return out


# ------------------------------------------------------------------ tests

def test_names_differing_only_in_case_are_both_listed(target, tmp_path):
    for name in ("x", "X", "b", "B.txt", "a"):
        (tmp_path / name).write_text(name)
    assert list_tree(target, tmp_path) == ["= a|", "= b|", "= B.txt|", "= X|", "= x|"]


def make_tree(root, count, seed):
    rng = random.Random(seed)
    stems = ["src", "Lib", "tools", "a", "B", "data", "x", "Zeta", "m-1", "m_2", "obj", "c", "\u00e9t\u00e9",
             "\u03a9mega"]
    exts = ["", ".c", ".cpp", ".obj", ".lib", ".txt", ".h", ".tar.gz"]
    folders, made = [root], 0
    while made < count:
        parent = rng.choice(folders)
        name = f"{rng.choice(stems)}{rng.randrange(60)}{rng.choice(exts)}"
        if rng.randrange(9) == 0:
            name = name.upper() if name != name.upper() else name.lower()  # a case variant of a name
        path = os.path.join(parent, name)
        if os.path.lexists(path) or parent.count(os.sep) - root.count(os.sep) >= 7:
            continue
        if rng.randrange(7) == 0 and name == name.lower():
            # Folders only under lower-case names, so no two folders in one
            # place differ only in case.
            os.mkdir(path)
            folders.append(path)
        else:
            with open(path, "w") as f:
                f.write("x" * rng.randrange(3))
        made += 1
    return made


@pytest.mark.parametrize("filters,flags", [
    ((), None),
    ((), 2),
    (("-**.obj", "-**.lib", "+tools*/**"), None),
    (("+**.c", "-src*/**"), None),
    (("*.cpp", "+x*/**/*.h"), None),
    (("-**/a*", "+**/a1*/**"), None),
], ids=["all", "no_after_contents", "usage_tools", "c_not_src", "root_cpp", "exclude_then_include"])
def test_generated_tree_matches_an_independent_walk(target, tmp_path_factory, filters, flags):
    root = str(tmp_path_factory.getbasetemp() / "generated")
    if not os.path.exists(root):
        os.mkdir(root)
        assert make_tree(root, 10500, 20261208) == 10500
    got = list_tree(target, root, *filters, flags=flags)
    expected = expected_stream(root, filters, after_contents=flags is None)
    assert len(got) == len(expected)
    assert got == expected
