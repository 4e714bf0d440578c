#!/usr/bin/env python3
"""Generate the case folding tables used for name ordering.

The folding is the simple case folding (status C and S of CaseFolding.txt)
restricted to code points that DerivedAge.txt assigns to Unicode 5.0 or
earlier: characters added later, and the full (F) and Turkic (T) mappings,
do not fold. Both files come from the Unicode Character Database as Debian's
`unicode-data` package installs it.

Writes:
  src/base/casefold_tables.cpp   the three lookup tables (committed; the
                                    build does not run this script)
  tests/unit/casefold_reference.h   every folding pair as one sorted list,
                                    for the full sweep test

Usage: tools/gen_casefold.py [--ucd DIR] [--root DIR]
"""

import argparse
import os
import sys

MAX_VERSION = (5, 0)

# Counts of the Unicode 5.0.0 simple folding; anything else means the input
# files are not what this script expects.
EXPECTED_DIRECT_ESCAPES = 17
EXPECTED_PAIRS = 451
EXPECTED_WIDE_PAIRS = 40

DIRECT_LIMIT = 0x800
PAIR_FILLERS = 30     # with the first search step of 256
WIDE_FILLERS = 9      # with the first search step of 32
PAIR_FIRST_STEP = 256
WIDE_FIRST_STEP = 32


def fail(message):
    sys.stderr.write("gen_casefold: " + message + "\n")
    sys.exit(1)


def parse_ranges(path):
    """Yields (first, last, fields) for each data line of a UCD file."""
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.split("#", 1)[0].strip()
                if not line:
                    continue
                fields = [x.strip() for x in line.split(";")]
                span = fields[0]
                if ".." in span:
                    lo, hi = span.split("..")
                else:
                    lo = hi = span
                yield int(lo, 16), int(hi, 16), fields[1:]
    except OSError as e:
        fail("cannot read %s: %s" % (path, e))


def load_ages(path):
    ages = {}
    for lo, hi, fields in parse_ranges(path):
        major, minor = fields[0].split(".")[:2]
        version = (int(major), int(minor))
        for cp in range(lo, hi + 1):
            ages[cp] = version
    return ages


def load_folding(path, ages):
    folding = {}
    for lo, hi, fields in parse_ranges(path):
        if lo != hi:
            fail("unexpected range in %s" % path)
        status, mapping = fields[0], fields[1]
        if status not in ("C", "S"):
            continue
        age = ages.get(lo)
        if age is None or age > MAX_VERSION:
            continue
        targets = mapping.split()
        if len(targets) != 1:
            fail("simple mapping of %04X is not one code point" % lo)
        if lo in folding:
            fail("two simple mappings for %04X" % lo)
        folding[lo] = int(targets[0], 16)
    return folding


def build_tables(folding):
    direct = []
    escapes = []
    for cp in range(DIRECT_LIMIT):
        diff = folding.get(cp, cp) - cp
        if -32 <= diff <= 222:
            direct.append(diff + 32)
        else:
            direct.append(255)
            escapes.append(cp)
    pairs = sorted([(cp, folding[cp]) for cp in escapes] +
                   [(cp, f) for cp, f in folding.items() if DIRECT_LIMIT <= cp <= 0xFFFF])
    wide = sorted((cp, f) for cp, f in folding.items() if cp > 0xFFFF)
    for cp, f in pairs:
        if f > 0xFFFF:
            fail("folding of %04X leaves the 16-bit range" % cp)

    if len(escapes) != EXPECTED_DIRECT_ESCAPES:
        fail("direct table has %d escapes, expected %d" % (len(escapes), EXPECTED_DIRECT_ESCAPES))
    if len(pairs) != EXPECTED_PAIRS:
        fail("pair table has %d pairs, expected %d" % (len(pairs), EXPECTED_PAIRS))
    if len(wide) != EXPECTED_WIDE_PAIRS:
        fail("wide pair table has %d pairs, expected %d" % (len(wide), EXPECTED_WIDE_PAIRS))
    # The halving search reaches at most index 2 * first step - 2.
    if len(pairs) > 2 * PAIR_FIRST_STEP - 1:
        fail("pair table does not fit its search")
    if len(wide) > 2 * WIDE_FIRST_STEP - 1:
        fail("wide pair table does not fit its search")
    return direct, escapes, pairs, wide


def max_probe(count, step):
    """Largest index the halving search can probe for a table of count real
    entries padded with fillers that never sort below the sought value."""
    worst = 0

    def walk(b, s):
        nonlocal worst
        if s == 0:
            return
        probe = b + s - 1
        worst = max(worst, probe)
        if probe < count:  # a real entry may sort below: both ways possible
            walk(b + s, s // 2)
        walk(b, s // 2)

    walk(0, step)
    return worst


def emit_tables(path, direct, escapes, pairs, wide):
    if max_probe(len(pairs), PAIR_FIRST_STEP) >= len(pairs) + PAIR_FILLERS:
        fail("pair table fillers too few")
    if max_probe(len(wide), WIDE_FIRST_STEP) >= len(wide) + WIDE_FILLERS:
        fail("wide pair table fillers too few")
    out = []
    out.append("// Generated by tools/gen_casefold.py from the Unicode Character Database:")
    out.append("// simple case folding (CaseFolding.txt status C and S) of the code points")
    out.append("// assigned in Unicode 5.0 or earlier. Do not edit; run the script again.")
    out.append("#include \"base/casefold.h\"")
    out.append("")
    out.append("// (folded - code point) + 32 for U+0000..U+07FF; 255: look in fold_pairs.")
    out.append("// Escapes: " + ", ".join("U+%04X" % cp for cp in escapes) + ".")
    out.append("const uint8_t fold_direct[FOLD_DIRECT_SIZE] = {")
    for i in range(0, len(direct), 16):
        row = ", ".join("%3d" % v for v in direct[i:i + 16])
        out.append("    %s,  // %04X" % (row, i))
    out.append("};")
    out.append("")
    out.append("// (code point, folded), sorted, then fillers for the fixed halving search.")
    out += pair_array("const uint16_t fold_pairs[FOLD_PAIR_COUNT + FOLD_PAIR_FILLERS][2]",
                      pairs + [(0xFFFF, 0xFFFF)] * PAIR_FILLERS, 6, "0x%04X")
    out.append("")
    out += pair_array("const uint32_t fold_wide_pairs[FOLD_WIDE_COUNT + FOLD_WIDE_FILLERS][2]",
                      wide + [(0xFFFFFFFF, 0xFFFFFFFF)] * WIDE_FILLERS, 4, "0x%05Xu")
    write(path, "\n".join(out) + "\n")


def pair_array(declaration, pairs, per_row, number):
    """Lines of a C++ array of pairs, per_row pairs to a line."""
    item = "{%s, %s}," % (number, number)
    lines = [declaration + " = {"]
    for i in range(0, len(pairs), per_row):
        lines.append("    " + " ".join(item % p for p in pairs[i:i + per_row]))
    lines.append("};")
    return lines


def emit_reference(path, folding):
    items = sorted(folding.items())
    out = []
    out.append("// Generated by tools/gen_casefold.py: every code point that folds to a")
    out.append("// different one, with its folding, sorted by code point. Every other code")
    out.append("// point folds to itself. Do not edit; run the script again.")
    out.append("#pragma once")
    out.append("")
    out.append("#include <cstdint>")
    out.append("")
    out.append("constexpr uint32_t kFoldReferenceCount = %d;" % len(items))
    out += pair_array("constexpr uint32_t kFoldReference[kFoldReferenceCount][2]", items, 4, "0x%05X")
    write(path, "\n".join(out) + "\n")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", default="/usr/share/unicode",
                        help="folder holding CaseFolding.txt and DerivedAge.txt")
    parser.add_argument("--root", default=os.path.dirname(here), help="source tree root")
    args = parser.parse_args()

    ages = load_ages(os.path.join(args.ucd, "DerivedAge.txt"))
    folding = load_folding(os.path.join(args.ucd, "CaseFolding.txt"), ages)
    direct, escapes, pairs, wide = build_tables(folding)
    emit_tables(os.path.join(args.root, "src/base/casefold_tables.cpp"), direct, escapes, pairs, wide)
    emit_reference(os.path.join(args.root, "tests/unit/casefold_reference.h"), folding)
    print("gen_casefold: %d foldings; %d direct escapes, %d pairs, %d wide pairs"
          % (len(folding), len(escapes), len(pairs), len(wide)))


if __name__ == "__main__":
    main()
