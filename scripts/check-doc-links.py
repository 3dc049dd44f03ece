#!/usr/bin/env python3
"""Every relative link of README.md and docs/*.md names a file that exists
and, with a #fragment, a heading of that file, by GitHub's anchor rules.
Prints each broken link and exits 1 if there is one."""
import glob
import os
import re
import sys

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def prose_lines(path):
    """The file's lines outside fenced code blocks, where a shell comment is no heading."""
    fenced = False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced:
            yield line


def anchors(path):
    seen = {}
    for line in prose_lines(path):
        heading = re.match(r"#{1,6} (.*)", line)
        if heading:
            slug = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
            seen[slug] = seen.get(slug, -1) + 1
            yield slug if seen[slug] == 0 else "%s-%d" % (slug, seen[slug])


def broken_links(doc):
    for line in prose_lines(doc):
        for target in LINK.findall(line):
            if re.match(r"[a-z]+:", target):
                continue  # a web address or mail, not ours to check here
            path, _, fragment = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
            if not os.path.exists(path):
                yield "%s: %s: no such file" % (doc, target)
            elif fragment and fragment not in anchors(path):
                yield "%s: %s: no such heading" % (doc, target)


os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
broken = [b for doc in ["README.md"] + sorted(glob.glob("docs/*.md")) for b in broken_links(doc)]
print("\n".join(broken) or "Links of README.md and docs/ resolve.")
sys.exit(1 if broken else 0)
