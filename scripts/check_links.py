#!/usr/bin/env python3
"""Checks that every relative link in README.md and docs/*.md names an existing file, and that an
#anchor names a heading of its file. Usage: check_links.py [ROOT]; exits 1 and lists broken links."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent).resolve()
link = re.compile(r'!?\[[^\]]*\]\(([^)\s]+)\)')


def anchors(page):
    # Heading ids as the common Markdown renderers make them: lower case, punctuation dropped,
    # blanks as dashes.
    return {re.sub(r'[^\w\- ]', '', line.lstrip('#').strip().lower()).replace(' ', '-')
            for line in page.read_text().splitlines() if line.startswith('#')}


broken = []
for page in [root / 'README.md', *sorted((root / 'docs').glob('*.md'))]:
    for number, line in enumerate(page.read_text().splitlines(), 1):
        for target in link.findall(re.sub(r'`[^`]*`', '', line)):
            if re.match(r'[a-z]+:', target):
                continue
            path, _, anchor = target.partition('#')
            file = (page.parent / path).resolve() if path else page
            if not file.exists():
                broken.append(f'{page.relative_to(root)}:{number}: {target}: no such file')
            elif anchor and file.suffix == '.md' and anchor not in anchors(file):
                broken.append(f'{page.relative_to(root)}:{number}: {target}: no such heading')
print('\n'.join(broken) or 'every relative link resolves')
sys.exit(1 if broken else 0)
