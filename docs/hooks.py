"""MkDocs hooks: what the pages show of the examples is made by running them.

A line `<!-- output: python ARGS -->` in a page becomes a text block of what the
command prints, run from the repository root with the interpreter that builds
the docs. `<!-- include: PATH -->` becomes the file's text in a block of its
suffix's language. `<!-- markdown: MODULE.FUNCTION -->` becomes the Markdown that the
function returns (the method reference, made from the methods' own declarations). The storm-event figure and the ensemble band are drawn by
examples/storm_event.py and examples/ensemble.py at build time. benchmarks/README.md becomes the page benchmarks.md, its links to files of the
source tree turned into plain paths (those files are not part of the site). A
command that fails fails the build.
"""

from __future__ import annotations

import importlib
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

from mkdocs.structure.files import File, Files

ROOT = Path(__file__).resolve().parent.parent
MARKER = re.compile(r"^<!-- (output|include|markdown): (.+?) -->[ \t]*$", re.MULTILINE)
FIGURES = {
    "figures/storm_event.png": ["examples/storm_event.py", "--plot"],
    "figures/ensemble_band.png": ["examples/ensemble.py", "--threads", "--workers", "2", "--n", "120",
                                  "--behavioural", "0.6", "--no-progress", "--band"],
}
# Pages copied in from elsewhere in the tree: page -> source.
COPIED = {"benchmarks.md": "benchmarks/README.md"}
LINK = re.compile(r"!?\[([^\]]*)\]\((?!https?:|#)([^)\s]+)\)")
LANGUAGES = {".toml": "toml", ".csv": "text", ".py": "python"}

_outputs: dict[str, str] = {}


def _run(args: list[str]) -> str:
    key = " ".join(args)
    if key not in _outputs:
        # Fixed width so argparse wraps --help the same on every terminal.
        env = dict(os.environ, COLUMNS="88", MPLBACKEND="Agg")
        done = subprocess.run(
            [sys.executable, *args], cwd=ROOT, env=env, capture_output=True, text=True, timeout=600
        )
        if done.returncode != 0:
            raise RuntimeError(f"`python {key}` failed ({done.returncode}):\n{done.stderr}")
        _outputs[key] = done.stdout
    return _outputs[key]


def on_files(files: Files, config: Any, **kwargs: Any) -> Files:
    out = Path(tempfile.mkdtemp(prefix="basinkit-docs-"))
    for dest, args in FIGURES.items():
        path = out / Path(dest).name
        _run([*args, str(path)])
        if not path.is_file():
            raise RuntimeError(f"`python {' '.join(args)}` drew no {path.name}")
        files.append(File.generated(config, dest, abs_src_path=str(path)))
    for dest, source in COPIED.items():
        text = LINK.sub(r"\1 (`\2`)", (ROOT / source).read_text(encoding="utf-8"))
        files.append(File.generated(config, dest, content=text))
    return files


def _replace(match: re.Match[str]) -> str:
    what, arg = match.group(1), match.group(2).strip()
    if what == "markdown":
        module, _, name = arg.rpartition(".")
        return str(getattr(importlib.import_module(module), name)()).rstrip()
    if what == "include":
        path = ROOT / arg
        text = path.read_text(encoding="utf-8")
        return f"```{LANGUAGES.get(path.suffix, 'text')}\n{text.rstrip()}\n```"
    args = arg.split()
    if args[0] != "python":
        raise ValueError(f"output marker must run python: {arg}")
    return f"```text\n$ {arg}\n{_run(args[1:]).rstrip()}\n```"


def on_page_markdown(markdown: str, page: Any, **kwargs: Any) -> str:
    if page.file.src_uri in COPIED:
        return markdown  # another file's text, shown as it is
    return MARKER.sub(_replace, markdown)
