"""Every Python block of README.md and the docs pages runs, and prints what the page says.

A ```python block followed directly by a ```text block is an example with its
output: the text block must equal what the Python block writes to stdout. Each
block runs on its own, in a fresh namespace, as a reader would paste it.
"""

from __future__ import annotations

import contextlib
import io
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").rglob("*.md"))]

FENCE = re.compile(r"^```([A-Za-z0-9_+-]*)[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def blocks(text: str) -> list[tuple[str, str, int, int]]:
    """(language, body, start offset, end offset) of every fenced block."""
    return [(m.group(1).lower(), m.group(2), m.start(), m.end()) for m in FENCE.finditer(text)]


def examples(text: str) -> list[tuple[int, str, str | None]]:
    """(line number, code, expected stdout or None) of every Python block."""
    found = []
    all_blocks = blocks(text)
    for i, (lang, body, start, end) in enumerate(all_blocks):
        if lang != "python":
            continue
        expected = None
        if i + 1 < len(all_blocks):
            nlang, nbody, nstart, _ = all_blocks[i + 1]
            if nlang == "text" and text[end:nstart].strip() == "":
                expected = nbody
        found.append((text.count("\n", 0, start) + 1, body, expected))
    return found


EXAMPLES = [
    (f"{page.relative_to(ROOT).as_posix()}:{line}", code, expected)
    for page in PAGES
    for line, code, expected in examples(page.read_text(encoding="utf-8"))
]


def test_the_extractor_sees_every_fence():
    """The block parser neither drops nor invents blocks: fences pair up on every page."""
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        fences = [line for line in text.splitlines() if line.startswith("```")]
        assert len(fences) % 2 == 0, page
        assert len(blocks(text)) == len(fences) // 2, page
        assert len(examples(text)) == sum(1 for f in fences[0::2] if f.strip() == "```python"), page


def test_the_extractor_pairs_code_with_output():
    sample = "x\n```python\nprint(1)\n```\n\n```text\n1\n```\n```python\npass\n```\n```sh\nls\n```\n"
    got = examples(sample)
    assert [(code, out) for _, code, out in got] == [("print(1)\n", "1\n"), ("pass\n", None)]


def test_readme_and_docs_have_examples_with_output():
    in_readme = [where for where, _, out in EXAMPLES if where.startswith("README.md:") and out is not None]
    assert len(in_readme) >= 1
    # The README's examples moved into the pages; none may go missing.
    assert sum(1 for *_, out in EXAMPLES if out is not None) >= 8


@pytest.mark.parametrize("where,code,expected", EXAMPLES, ids=[where for where, _, _ in EXAMPLES])
def test_readme_block(where, code, expected):
    if "basinkit_model" in code:
        # The basin-model layer needs packages some interpreters have no wheels for.
        for module in ("pandas", "scipy", "tomli_w"):
            pytest.importorskip(module, reason=f"basinkit_model needs {module}")
    out = io.StringIO()
    namespace = {"__name__": "__readme__"}
    with contextlib.redirect_stdout(out):
        exec(compile(code, where, "exec"), namespace)
    if expected is not None:
        assert out.getvalue() == expected


def test_no_install_hint_names_the_other_projects_basinkit():
    """`basinkit` on the package index is an unrelated project: hints install this checkout's extras."""
    sources = [*PAGES, *sorted((ROOT / "examples").glob("*.py")), *sorted((ROOT / "python").rglob("*.py"))]
    wrong = re.compile(r"install\s+['\"]?basinkit\b(?!_)|['\"]basinkit\[")
    for path in sources:
        for n, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            assert not wrong.search(line), f"{path.relative_to(ROOT)}:{n}: {line.strip()}"
