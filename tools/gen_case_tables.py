#!/usr/bin/env python3
"""Writes common/unicode_case_tables.h and .cpp: the full Unicode case mappings that
text::to_lower and text::to_upper use, and the Cased and Case_Ignorable properties that the
final-sigma rule needs.

Reads the Unicode Character Database as Debian's unicode-data package installs it (or the folder
given with --ucd). The build never runs this script: its output is committed, so that building
needs no Unicode data. Run it again after a Unicode upgrade:

    python3 tools/gen_case_tables.py [--ucd /usr/share/unicode] [--out common]

Single code point mappings are stored as ranges that share one delta, either for every code point
(stride 1) or for every other one (stride 2, the usual upper/lower pairing of Latin and Cyrillic
blocks). Mappings to several code points come from the unconditional entries of SpecialCasing.txt;
its conditional entries (the final sigma rule, which the code applies itself, and the
language-specific ones) are left out.
"""

import argparse
import pathlib
import re
import sys

MAX_EXPANSION = 3
MAX_RANGE_LENGTH = 0xFFFF


def read_unicode_version(ucd):
    readme = (ucd / "ReadMe.txt").read_text(encoding="utf-8")
    match = re.search(r"Version (\d+\.\d+\.\d+)", readme)
    if match:
        return match.group(1)
    header = (ucd / "DerivedCoreProperties.txt").read_text(encoding="utf-8").splitlines()[0]
    match = re.search(r"(\d+\.\d+\.\d+)", header)
    return match.group(1) if match else "unknown"


def read_simple_mappings(ucd):
    """Simple (one code point) upper and lower mappings from UnicodeData.txt."""
    upper, lower = {}, {}
    for line in (ucd / "UnicodeData.txt").read_text(encoding="utf-8").splitlines():
        fields = line.split(";")
        code = int(fields[0], 16)
        if fields[12]:
            upper[code] = [int(fields[12], 16)]
        if fields[13]:
            lower[code] = [int(fields[13], 16)]
    return upper, lower


def read_unconditional_special_casing(ucd):
    """Full mappings of SpecialCasing.txt that apply without a condition."""
    upper, lower = {}, {}
    for line in (ucd / "SpecialCasing.txt").read_text(encoding="utf-8").splitlines():
        data = line.split("#", 1)[0].strip()
        if not data:
            continue
        fields = [field.strip() for field in data.split(";")]
        condition = fields[4] if len(fields) > 4 else ""
        if condition:
            continue
        code = int(fields[0], 16)
        lower[code] = [int(part, 16) for part in fields[1].split()]
        upper[code] = [int(part, 16) for part in fields[3].split()]
    return upper, lower


def merge(simple, special):
    """The full mapping of each code point, leaving out code points that map to themselves."""
    merged = dict(simple)
    merged.update(special)
    return {code: target for code, target in merged.items() if target != [code]}


def build_ranges(single):
    """Greedy ranges of (first, count, stride, delta) over sorted single-code-point mappings."""
    ranges = []
    for code in sorted(single):
        delta = single[code] - code
        if ranges:
            first, count, stride, last_delta = ranges[-1]
            if delta == last_delta and count < MAX_RANGE_LENGTH:
                if count == 1 and code - first in (1, 2):
                    ranges[-1] = (first, 2, code - first, delta)
                    continue
                if count > 1 and code == first + count * stride:
                    ranges[-1] = (first, count + 1, stride, delta)
                    continue
        ranges.append((code, 1, 1, delta))
    return ranges


def split_mappings(mappings):
    single = {code: target[0] for code, target in mappings.items() if len(target) == 1}
    expansions = {code: target for code, target in mappings.items() if len(target) > 1}
    if any(len(target) > MAX_EXPANSION for target in expansions.values()):
        sys.exit("a mapping is longer than %d code points" % MAX_EXPANSION)
    return build_ranges(single), sorted(expansions.items())


def read_property_ranges(ucd, name):
    """Code point ranges with the derived core property `name`, adjacent ones joined."""
    ranges = []
    pattern = re.compile(r"^([0-9A-F]+)(?:\.\.([0-9A-F]+))?\s*;\s*" + re.escape(name) + r"\s*(#|$)")
    for line in (ucd / "DerivedCoreProperties.txt").read_text(encoding="utf-8").splitlines():
        match = pattern.match(line)
        if not match:
            continue
        first = int(match.group(1), 16)
        last = int(match.group(2) or match.group(1), 16)
        ranges.append((first, last))
    ranges.sort()
    joined = []
    for first, last in ranges:
        if joined and first == joined[-1][1] + 1:
            joined[-1] = (joined[-1][0], last)
        else:
            joined.append((first, last))
    if not joined:
        sys.exit("no code point has the property " + name)
    return joined


def hex_code(code):
    return "0x%04X" % code


def emit_rows(rows, per_line):
    lines = []
    for start in range(0, len(rows), per_line):
        lines.append("    " + " ".join(rows[start:start + per_line]))
    return "\n".join(lines)


def case_range_rows(ranges):
    return ["{%s, %d, %d, %d}," % (hex_code(first), count, stride, delta)
            for first, count, stride, delta in ranges]


def expansion_rows(expansions):
    rows = []
    for code, target in expansions:
        padded = target + [0] * (MAX_EXPANSION - len(target))
        rows.append("{%s, {%s}}," % (hex_code(code), ", ".join(hex_code(c) for c in padded)))
    return rows


def property_rows(ranges):
    return ["{%s, %s}," % (hex_code(first), hex_code(last)) for first, last in ranges]


HEADER = """\
// Generated by tools/gen_case_tables.py from the Unicode Character Database {version}.
// Do not edit: change the script and run it again.
#pragma once

#include <cstdint>
#include <span>

namespace tindral::text::unicode {{

/// `count` code points from `first` on, every `stride`-th one, each mapping to itself + `delta`.
struct CaseRange {{
  char32_t first;
  std::uint16_t count;
  std::uint8_t stride;
  std::int32_t delta;
}};

/// A code point whose mapping is several code points (unused trailing slots are 0).
struct CaseExpansion {{
  char32_t from;
  char32_t to[{max_expansion}];
}};

/// An inclusive range of code points.
struct CodePointRange {{
  char32_t first;
  char32_t last;
}};

/// Full lower-case mapping, sorted by code point; expansions take precedence over ranges.
extern const std::span<const CaseRange> kLowerRanges;
extern const std::span<const CaseExpansion> kLowerExpansions;

/// Full upper-case mapping, sorted by code point; expansions take precedence over ranges.
extern const std::span<const CaseRange> kUpperRanges;
extern const std::span<const CaseExpansion> kUpperExpansions;

/// The Cased and Case_Ignorable properties, sorted, for the final-sigma rule.
extern const std::span<const CodePointRange> kCased;
extern const std::span<const CodePointRange> kCaseIgnorable;

}}  // namespace tindral::text::unicode
"""

SOURCE = """\
// Generated by tools/gen_case_tables.py from the Unicode Character Database {version}.
// Do not edit: change the script and run it again.
#include "unicode_case_tables.h"

namespace tindral::text::unicode {{
namespace {{

// clang-format off
constexpr CaseRange kLowerRangeData[] = {{
{lower_ranges}
}};

constexpr CaseExpansion kLowerExpansionData[] = {{
{lower_expansions}
}};

constexpr CaseRange kUpperRangeData[] = {{
{upper_ranges}
}};

constexpr CaseExpansion kUpperExpansionData[] = {{
{upper_expansions}
}};

constexpr CodePointRange kCasedData[] = {{
{cased}
}};

constexpr CodePointRange kCaseIgnorableData[] = {{
{case_ignorable}
}};
// clang-format on

}}  // namespace

const std::span<const CaseRange> kLowerRanges = kLowerRangeData;
const std::span<const CaseExpansion> kLowerExpansions = kLowerExpansionData;
const std::span<const CaseRange> kUpperRanges = kUpperRangeData;
const std::span<const CaseExpansion> kUpperExpansions = kUpperExpansionData;
const std::span<const CodePointRange> kCased = kCasedData;
const std::span<const CodePointRange> kCaseIgnorable = kCaseIgnorableData;

}}  // namespace tindral::text::unicode
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", default="/usr/share/unicode", type=pathlib.Path)
    parser.add_argument("--out", default=pathlib.Path(__file__).resolve().parent.parent / "common",
                        type=pathlib.Path)
    args = parser.parse_args()

    version = read_unicode_version(args.ucd)
    simple_upper, simple_lower = read_simple_mappings(args.ucd)
    special_upper, special_lower = read_unconditional_special_casing(args.ucd)
    lower_ranges, lower_expansions = split_mappings(merge(simple_lower, special_lower))
    upper_ranges, upper_expansions = split_mappings(merge(simple_upper, special_upper))
    cased = read_property_ranges(args.ucd, "Cased")
    case_ignorable = read_property_ranges(args.ucd, "Case_Ignorable")

    (args.out / "unicode_case_tables.h").write_text(
        HEADER.format(version=version, max_expansion=MAX_EXPANSION), encoding="utf-8")
    (args.out / "unicode_case_tables.cpp").write_text(
        SOURCE.format(
            version=version,
            lower_ranges=emit_rows(case_range_rows(lower_ranges), 4),
            lower_expansions=emit_rows(expansion_rows(lower_expansions), 2),
            upper_ranges=emit_rows(case_range_rows(upper_ranges), 4),
            upper_expansions=emit_rows(expansion_rows(upper_expansions), 2),
            cased=emit_rows(property_rows(cased), 4),
            case_ignorable=emit_rows(property_rows(case_ignorable), 4)),
        encoding="utf-8")
    print("lower: %d ranges, %d expansions; upper: %d ranges, %d expansions; "
          "cased: %d ranges; case-ignorable: %d ranges"
          % (len(lower_ranges), len(lower_expansions), len(upper_ranges), len(upper_expansions),
             len(cased), len(case_ignorable)))


if __name__ == "__main__":
    main()
