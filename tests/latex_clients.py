"""Real LaTeX renderers that the tests hold rendered texts to.

KaTeX runs in strict mode in one `node` process that reads texts as JSON lines on its standard
input and answers each with a JSON line: null when KaTeX accepts the text, else its message.
Debian ships both (`apt-get install nodejs libjs-katex`); `katex_available()` says whether they
are here, so that tests can skip on a machine without them.
"""
from __future__ import annotations

import json
import shutil
import subprocess
from collections.abc import Iterable
from pathlib import Path
from types import TracebackType

KATEX_PLACES = (
    Path("/usr/share/javascript/katex/katex.min.js"),  # libjs-katex
    Path("/usr/share/nodejs/katex/dist/katex.min.js"),
    Path("/usr/lib/nodejs/katex/dist/katex.min.js"),
)

RENDER_LINES = r"""
const katex = require(process.argv[1]);
const lines = require("readline").createInterface({input: process.stdin});
lines.on("line", (line) => {
    let answer = null;
    try {
        katex.renderToString(JSON.parse(line), {throwOnError: true, strict: "error"});
    } catch (error) {
        answer = String(error.message);
    }
    process.stdout.write(JSON.stringify(answer) + "\n");
});
"""


def katex_script() -> Path | None:
    return next((path for path in KATEX_PLACES if path.is_file()), None)


def katex_available() -> bool:
    return shutil.which("node") is not None and katex_script() is not None


class KaTeX:
    """One node process running KaTeX; use as a context manager, and ask it about any number of texts."""

    def __init__(self) -> None:
        node, script = shutil.which("node"), katex_script()
        if node is None or script is None:
            raise RuntimeError("node or KaTeX is missing: apt-get install nodejs libjs-katex")
        self._process = subprocess.Popen([node, "-e", RENDER_LINES, str(script)], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, text=True, encoding="utf-8")

    def rejections(self, texts: Iterable[str]) -> list[tuple[str, str]]:
        """The texts that KaTeX refuses, each with KaTeX's message, in the order given."""
        assert self._process.stdin is not None and self._process.stdout is not None
        rejected = []
        for text in texts:
            self._process.stdin.write(json.dumps(text) + "\n")
            self._process.stdin.flush()
            message = json.loads(self._process.stdout.readline())
            if message is not None:
                rejected.append((text, message))
        return rejected

    def close(self) -> None:
        if self._process.stdin is not None:
            self._process.stdin.close()
        self._process.wait(timeout=30)

    def __enter__(self) -> KaTeX:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()


def katex_rejections(texts: Iterable[str]) -> list[tuple[str, str]]:
    """The texts that KaTeX refuses, with its messages, all checked by one node process."""
    with KaTeX() as katex:
        return katex.rejections(texts)
