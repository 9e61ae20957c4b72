# SPDX-License-Identifier: BSD-3-Clause
"""Checks that every relative link of the project's Markdown pages resolves:
the file or folder exists, and an anchor (#...) names a heading of its page
the way GitHub derives heading anchors. Links to other sites are not
fetched.

    check_links.py ROOT    checks README.md, CONTRIBUTING.md, NEWS.md, docs/*.md
"""
import pathlib
import re
import sys

LINK = re.compile(r"!?\[(?:[^\]\[]|\[[^\]]*\])*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^\s*(```|~~~)")


def prose_lines(text):
    """The lines outside fenced code blocks, with their numbers; inline code
    spans are blanked so that a bracket in code is not read as a link."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if not fenced and not line.startswith("    "):
            yield number, re.sub(r"`[^`]*`", lambda m: " " * len(m.group()), line)


def slug(heading):
    text = re.sub(r"`([^`]*)`", r"\1", heading)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"[^\w\- ]", "", text.lower())
    return text.replace(" ", "-")


def anchors(path):
    seen = {}
    out = set()
    for _, line in prose_lines(path.read_text(encoding="utf-8")):
        m = HEADING.match(line)
        if not m:
            continue
        base = slug(m.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        out.add(base if count == 0 else f"{base}-{count}")
    return out


def check(page, root):
    problems = []
    for number, line in prose_lines(page.read_text(encoding="utf-8")):
        for target in LINK.findall(line):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):  # https:, mailto:
                continue
            path_part, _, anchor = target.partition("#")
            where = page if not path_part else (page.parent / path_part).resolve()
            rel = f"{page.relative_to(root)}:{number}: {target}"
            if not where.exists():
                problems.append(f"{rel}: no such file")
            elif root.resolve() not in where.resolve().parents and where.resolve() != root.resolve():
                problems.append(f"{rel}: outside the source tree")
            elif anchor:
                if where.suffix != ".md" or where.is_dir():
                    problems.append(f"{rel}: an anchor into a file that is not a Markdown page")
                elif anchor not in anchors(where):
                    problems.append(f"{rel}: no heading with this anchor")
    return problems


def main(root):
    root = pathlib.Path(root).resolve()
    pages = [root / "README.md", root / "CONTRIBUTING.md", root / "NEWS.md"]
    pages += sorted((root / "docs").glob("*.md"))
    problems = []
    for page in pages:
        if not page.exists():
            problems.append(f"{page.relative_to(root)}: missing")
            continue
        problems += check(page, root)
    for p in problems:
        print(p)
    print(f"{len(pages)} pages checked, {len(problems)} broken links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
