#!/usr/bin/env python3
"""Small faults seeded into the product's sources, for scripts/mutate.

  mutants.py list SEED FOLDER...    (a FOLDER may be one file) prints one site of every line that has any, the lines shuffled by
                                    SEED and the site drawn on each by it, so that every line of code
                                    is as likely as any other: "index<TAB>file<TAB>line<TAB>kind<TAB>before<TAB>after"
  mutants.py apply FILE LINE BEFORE AFTER   replaces the line's text BEFORE by AFTER (once), in place

Each site changes one line in one way: a comparison flipped or moved by one, a condition negated,
a call's outcome ignored, a statement dropped, a flag taken from an open, a constant changed, a
returned value replaced by the type's empty one, a call's two arguments swapped.
"""
import random
import re
import sys
from pathlib import Path

COMPARISONS = [("==", "!="), ("!=", "=="), ("<=", "<"), (">=", ">"), ("<", "<="), (">", ">=")]


def sites_of_line(path, number, line):
    text = line.rstrip("\n")
    code = text.split("//")[0]
    stripped = code.strip()
    if not stripped or stripped.startswith(("#", "*", "/*")) or '"' in stripped and "O_" not in stripped:
        return
    # Comparisons, not templates, stream operators, arrows or includes.
    for before, after in COMPARISONS:
        for match in re.finditer(r"(?<=[\w)\]]) %s (?=[\w(!~-])" % re.escape(before), code):
            yield "comparison", match.group(0), " %s " % after
    # A condition negated.
    match = re.search(r"\bif \((.+)\)( \{|)$", code.rstrip())
    if match and "&&" not in match.group(1) and "||" not in match.group(1):
        yield "negated", "if (" + match.group(1) + ")", "if (!(" + match.group(1) + "))"
    # A call's outcome ignored: the result of a SysResult-returning call replaced by success.
    match = re.search(r"(SysResult \w+ = )(.+);$", code.rstrip())
    if match and "(" in match.group(2):
        yield "ignored", match.group(1) + match.group(2) + ";", match.group(1) + "((void)(" + match.group(2) + "), SysResult{});"
    # A statement dropped: a call or an assignment alone on its line.
    if re.match(r"^\s*[\w:.>\-\[\]()]+(\(.*\)|\s*[-+*/|&]?=\s*.+|\+\+|--);$", code.rstrip()) and not stripped.startswith("return"):
        yield "dropped", stripped, ";"
    # A flag taken from an open.
    for match in re.finditer(r"(\| ?)?\b(O_[A-Z]+|FILE_FLAG_[A-Z_]+|RESOLVE_[A-Z_]+|AT_[A-Z_]+)\b( ?\|)?", code):
        if match.group(1) or match.group(3):
            whole = match.group(0)
            yield "flag", whole, "|" if match.group(1) and match.group(3) else ""
    # A returned value replaced by its type's empty one (success, false, zero, nothing).
    match = re.match(r"^\s*return (.+);$", code.rstrip())
    if match and match.group(1) not in ("{}", "true", "false"):
        yield "returned", "return " + match.group(1) + ";", "return {};"
    elif match:
        yield "returned", "return " + match.group(1) + ";", {"true": "return false;", "false": "return true;", "{}": "return {};"}[match.group(1)]
    # A call's two arguments swapped.
    for match in re.finditer(r"\b(\w+)\(([\w.:>-]+), ([\w.:>-]+)\)", code):
        if match.group(2) != match.group(3):
            yield "swapped", match.group(0), "%s(%s, %s)" % (match.group(1), match.group(3), match.group(2))
    # A constant changed.
    for match in re.finditer(r"(?<![\w.])(\d+)(?![\w.])", code):
        value = int(match.group(1))
        if value > 1 and "[" not in code[max(0, match.start() - 1):match.start()]:
            yield "constant", match.group(0), str(value // 10 if value >= 10 else value + 1)


def lines_with_sites(folders):
    """Every line with a site, as (file, line, [(kind, before, after), ...]): the Linux build's
    sources and headers."""
    lines = []
    for folder in folders:
        paths = [Path(folder)] if Path(folder).is_file() else sorted(list(Path(folder).rglob("*.cpp")) + list(Path(folder).rglob("*.h")))
        for path in paths:
            if "windows" in path.name:
                continue
            for number, line in enumerate(path.read_text().splitlines(), 1):
                sites = [(kind, before, after) for kind, before, after in sites_of_line(path, number, line)
                         if before in line and before != after]
                if sites:
                    lines.append((str(path), number, sites))
    return lines


def main():
    if sys.argv[1] == "list":
        lines = lines_with_sites(sys.argv[3:])
        draw = random.Random(int(sys.argv[2]))
        draw.shuffle(lines)
        for index, (path, number, sites) in enumerate(lines):
            kind, before, after = draw.choice(sites)
            print("\t".join([str(index), path, str(number), kind, before, after]))
    elif sys.argv[1] == "apply":
        path, number, before, after = Path(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
        lines = path.read_text().split("\n")
        if before not in lines[number - 1]:
            sys.exit("the site is gone: %s:%d" % (path, number))
        lines[number - 1] = lines[number - 1].replace(before, after, 1)
        path.write_text("\n".join(lines))


if __name__ == "__main__":
    try:
        main()
    except BrokenPipeError:
        # The reader took the sites it wanted.
        sys.stderr.close()
