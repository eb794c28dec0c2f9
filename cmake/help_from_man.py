#!/usr/bin/env python3
"""Writes the option and exit-status lines of --help from the manual page, so the two
never disagree: the manual page is the one place they are written.
usage: help_from_man.py MANPAGE OUTPUT"""
import re
import sys


def plain(roff: str) -> str:
    """The text of one roff line: macros, font escapes and quotes removed."""
    line = roff
    macro = re.match(r"^\.(B|I|BR|BI|IR|RB)\s+(.*)$", line)
    if macro:
        # Alternating-font macros join their arguments without spaces.
        args = re.findall(r'"([^"]*)"|(\S+)', macro.group(2))
        line = "".join(a or b for a, b in args)
    line = re.sub(r"\\f[BIRP]", "", line)
    return line.replace("\\-", "-").replace("\\(em", "-").strip()


def sections(lines):
    current, out = None, {}
    for line in lines:
        m = re.match(r'^\.SH\s+"?([^"]+)"?$', line)
        if m:
            current = m.group(1)
            out[current] = []
        elif current:
            out[current].append(line)
    return out


def items(lines):
    """(term, description) of each .TP paragraph; text after the items is dropped."""
    result, term, desc, state = [], None, [], None
    for line in lines:
        if line.startswith(".TP"):
            if term is not None:
                result.append((term, " ".join(desc)))
            term, desc, state = None, [], "term"
        elif line.startswith(".PP") or line.startswith(".SH"):
            if term is not None:
                result.append((term, " ".join(desc)))
            term, state = None, None
        elif state == "term":
            term, state = plain(line), "desc"
        elif state == "desc":
            desc.append(plain(line))
    if term is not None:
        result.append((term, " ".join(desc)))
    return result


def c_string(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main() -> None:
    man, output = sys.argv[1], sys.argv[2]
    with open(man, encoding="utf-8") as f:
        parts = sections(f.read().splitlines())
    options = items(parts["OPTIONS"])
    exits = items(parts["EXIT STATUS"])
    if not options or not exits:
        sys.exit(f"{man}: no OPTIONS or EXIT STATUS items")
    lines = []
    for term, desc in options:
        lines.append(f"  {term:<28}{desc}" if len(term) < 28 else f"  {term}\n  {'':<28}{desc}")
    lines.append("")
    lines.append("Exit status:")
    for term, desc in exits:
        lines.append(f"  {term:<5}{desc}")
    text = "\n".join(lines) + "\n"
    with open(output, "w", encoding="utf-8") as f:
        f.write("// Generated from the manual page by cmake/help_from_man.py; edit the manual page.\n")
        f.write("inline constexpr const char* kHelpOptionsAndExit =\n")
        for line in text.splitlines(keepends=True):
            f.write("    " + c_string(line).replace("\n", "\\n") + "\n")
        f.write("    ;\n")


if __name__ == "__main__":
    main()
