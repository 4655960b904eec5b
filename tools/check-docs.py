#!/usr/bin/python3
"""Checks that every relative link in README.md and docs/*.md resolves: the
file or folder it names exists in the repository and, where it has a
#fragment, the page it names has a heading with that anchor (as the usual
Markdown viewers make them: lower case, punctuation dropped, spaces as
hyphens, a repeated heading numbered -1, -2, ...). Links to other sites are
left alone. Python's standard library only.

Run from anywhere: python3 tools/check-docs.py [FILE.md ...]
"""
import glob
import os
import re
import sys
import unicodedata

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

FENCE = re.compile(r'^ {0,3}(```|~~~)')
HEADING = re.compile(r'^ {0,3}#{1,6}\s+(.*?)\s*#*\s*$')
# [text](target "title"), ![alt](target), and <a href=...>/<img src=...>.
INLINE = re.compile(r'!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+"[^"]*")?\s*\)')
REFERENCE = re.compile(r'^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+"[^"]*")?\s*$')
HTML = re.compile(r'<(?:a|img)\b[^>]*?\b(?:href|src)="([^"]*)"', re.I)
ID = re.compile(r'<a\b[^>]*?\b(?:id|name)="([^"]*)"', re.I)


def outside_code(text):
    """(line number, line) outside fenced and indented code blocks."""
    fence = None
    previous_blank = True
    indented = False
    for number, line in enumerate(text.splitlines(), 1):
        opening = FENCE.match(line)
        if fence:
            if opening and opening.group(1) == fence:
                fence = None
            continue
        if opening:
            fence = opening.group(1)
            continue
        blank = not line.strip()
        indented = not blank and line.startswith('    ') and (previous_blank or indented)
        previous_blank = blank
        if not indented:
            yield number, line


def slug(heading):
    text = re.sub(r'!?\[([^\]]*)\]\([^)]*\)', r'\1', heading)  # links: their text
    text = re.sub(r'<[^>]+>', '', text).replace('`', '').replace('*', '').lower()
    kept = ''.join(c for c in text if c in ' -_' or unicodedata.category(c)[0] in 'LMN')
    return kept.replace(' ', '-')


def anchors(path, cache={}):
    if path not in cache:
        found, seen = set(), {}
        with open(path, encoding='utf-8') as f:
            for _, line in outside_code(f.read()):
                found.update(ID.findall(line))
                heading = HEADING.match(line)
                if heading:
                    base = slug(heading.group(1))
                    n = seen.get(base, 0)
                    seen[base] = n + 1
                    found.add(base if n == 0 else '%s-%d' % (base, n))
        cache[path] = found
    return cache[path]


def check(page):
    problems = []
    with open(page, encoding='utf-8') as f:
        text = f.read()
    for number, line in outside_code(text):
        line = re.sub(r'(`+).*?\1', '', line)  # code spans
        targets = INLINE.findall(line) + HTML.findall(line)
        reference = REFERENCE.match(line)
        if reference:
            targets.append(reference.group(1))
        for target in targets:
            if re.match(r'[a-z][a-z0-9+.-]*:', target, re.I) or target.startswith('//'):
                continue  # another site, or mail
            where = '%s:%d: %s' % (os.path.relpath(page, ROOT), number, target)
            path, _, fragment = target.partition('#')
            resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not target:
                problems.append(where + ' (empty link)')
            elif os.path.relpath(resolved, ROOT).startswith('..'):
                problems.append(where + ' (outside the repository)')
            elif not os.path.exists(resolved):
                problems.append(where + ' (no such file)')
            elif fragment and not resolved.endswith('.md'):
                problems.append(where + ' (an anchor into a page that is not Markdown)')
            elif fragment and fragment not in anchors(resolved):
                problems.append(where + ' (no such heading)')
    return problems


def main(pages):
    pages = pages or [os.path.join(ROOT, 'README.md')] + sorted(glob.glob(os.path.join(ROOT, 'docs', '*.md')))
    problems = [p for page in pages for p in check(os.path.abspath(page))]
    for problem in problems:
        print('check-docs: broken link ' + problem, file=sys.stderr)
    print('check-docs: %d pages, %d broken links' % (len(pages), len(problems)), file=sys.stderr)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
