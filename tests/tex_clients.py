"""The real consumers of our LaTeX: KaTeX (strict, through node) and pdflatex with amsmath.

Each takes many texts in one run and returns the rejected ones with the client's message.
"""

from __future__ import annotations

import glob
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

KATEX = next(iter(sorted(glob.glob("/usr/share/javascript/katex/katex.min.js")
                         + glob.glob("/usr/share/nodejs/katex/dist/katex.min.js"))), None)
NODE = shutil.which("node")
PDFLATEX = shutil.which("pdflatex")

# A developer's machine may lack the clients and skips these tests; CI sets
# KALVORA_REQUIRE_TEX_CLIENTS=1, so that a missing client fails instead of skipping.
_REQUIRED = os.environ.get("KALVORA_REQUIRE_TEX_CLIENTS") == "1"


def _needs(missing: bool, reason: str) -> pytest.MarkDecorator:
    if missing and _REQUIRED:
        return pytest.mark.usefixtures()  # the test then runs and fails on the missing tool
    return pytest.mark.skipif(missing, reason=reason)


needs_katex = _needs(KATEX is None or NODE is None, "node or KaTeX (libjs-katex) missing")
needs_pdflatex = _needs(PDFLATEX is None, "pdflatex (texlive-latex-base) missing")
LUALATEX = shutil.which("lualatex")
# Sheets are typeset by LuaLaTeX with luatexja and read back with pdftotext.
needs_lualatex = _needs(LUALATEX is None or shutil.which("pdftotext") is None
                        or not subprocess.run(["kpsewhich", "ltjsarticle.cls"], capture_output=True).stdout,
                        "lualatex with luatexja (texlive-luatex, texlive-lang-japanese) or pdftotext (poppler-utils) missing")

# Reads one JSON string per line, answers one JSON value per line: null, or KaTeX's message.
_KATEX_SCRIPT = """
const katex = require(process.argv[1]);
const lines = require('fs').readFileSync(0, 'utf8').split('\\n').filter(line => line.length > 0);
for (const line of lines) {
  let verdict = null;
  try {
    katex.renderToString(JSON.parse(line), {throwOnError: true, strict: 'error'});
  } catch (error) {
    verdict = String(error.message);
  }
  process.stdout.write(JSON.stringify(verdict) + '\\n');
}
"""


def katex_rejects(texts: list[str]) -> list[tuple[str, str]]:
    """The texts KaTeX refuses in strict mode, with its messages; one node process for all."""
    assert KATEX is not None and NODE is not None
    run = subprocess.run([NODE, "-e", _KATEX_SCRIPT, KATEX],
                         input="".join(json.dumps(text) + "\n" for text in texts),
                         capture_output=True, text=True, check=True)
    verdicts = [json.loads(line) for line in run.stdout.splitlines()]
    assert len(verdicts) == len(texts), run.stderr
    return [(text, verdict) for text, verdict in zip(texts, verdicts) if verdict is not None]


_PREAMBLE = "\\documentclass{article}\n\\usepackage{amsmath}\n\\begin{document}\n"


def _compile(texts: list[str], directory: Path) -> str | None:
    """pdflatex's error over one document holding every text, or None if it compiles."""
    body = "".join(f"% formula {i}\n\\[ {text} \\]\n" for i, text in enumerate(texts))
    (directory / "formulas.tex").write_text(_PREAMBLE + body + "\\end{document}\n")
    assert PDFLATEX is not None
    run = subprocess.run([PDFLATEX, "-halt-on-error", "-interaction=nonstopmode", "formulas.tex"],
                         cwd=directory, capture_output=True, text=True, errors="replace")
    if run.returncode == 0:
        return None
    errors = [line for line in run.stdout.splitlines() if line.startswith("!")]
    return errors[0] if errors else run.stdout[-500:]


def pdflatex_rejects(texts: list[str]) -> list[tuple[str, str]]:
    """The texts pdflatex (with amsmath) refuses, with its first error line. All texts are
    compiled in one document; when it fails, halves are compiled to find the culprits."""
    rejected: list[tuple[str, str]] = []
    with tempfile.TemporaryDirectory() as name:
        pending = [texts]
        while pending:
            batch = pending.pop()
            error = _compile(batch, Path(name))
            if error is None:
                continue
            if len(batch) == 1:
                rejected.append((batch[0], error))
            else:
                pending += [batch[: len(batch) // 2], batch[len(batch) // 2:]]
    return rejected
