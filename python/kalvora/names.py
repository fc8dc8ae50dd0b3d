"""Names of variables: what a name may be, and how it is spelt in text and in LaTeX.

A name is one Latin letter or a Greek letter written as its LaTeX word (``alpha``,
``Delta``), optionally followed by a subscript of letters and digits: ``x``, ``x_1``,
``theta_0``, ``a_ij``. Greek letters typed as characters (``α``) are read as their word.
"""

from __future__ import annotations

import re
import unicodedata

# Greek letters that LaTeX (and KaTeX) names with a control word. Omicron and the
# capitals that look like Latin letters have none; ``pi`` is the constant π.
GREEK = frozenset(
    "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi rho sigma "
    "tau upsilon phi chi psi omega Gamma Delta Theta Lambda Xi Sigma Upsilon Phi Psi Omega".split()
)

_NAME = re.compile(r"(?P<base>[A-Za-z]+)(?:_(?P<sub>[A-Za-z0-9]+))?")


def greek_word(letter: str) -> str | None:
    """The word of a Greek letter character (``'α'`` → ``'alpha'``), or None."""
    if len(letter) != 1:
        return None
    parts = unicodedata.name(letter, "").split()
    if len(parts) != 4 or parts[:2] != ["GREEK", "SMALL"] and parts[:2] != ["GREEK", "CAPITAL"]:
        return None
    word = parts[3].lower().replace("lamda", "lambda")  # Unicode spells it LAMDA
    if parts[1] == "CAPITAL":
        word = word.capitalize()
    return word if word in GREEK else None


def is_name(name: str) -> bool:
    """Whether ``name`` is a variable name in its stored form (``x_1``, ``alpha``)."""
    match = _NAME.fullmatch(name)
    if match is None:
        return False
    base = match["base"]
    # e is always Napier's constant, so no variable may be called e.
    return (len(base) == 1 and base != "e") or base in GREEK


def normal_name(text: str) -> str:
    """The stored form of a name as people write it: ``α`` → ``alpha``, ``x1`` → ``x_1``,
    ``x₁`` → ``x_1``, ``\\alpha`` → ``alpha``, ``x_{1}`` → ``x_1``. Raises ValueError for
    anything that is not one variable's name."""
    candidate = unicodedata.normalize("NFKC", text).strip().removeprefix("\\")
    candidate = "".join(greek_word(c) or c for c in candidate)
    candidate = re.sub(r"_\{([A-Za-z0-9]+)\}$", r"_\1", candidate)
    candidate = re.sub(r"^([A-Za-z])([0-9]+)$", r"\1_\2", candidate)
    if not is_name(candidate):
        raise ValueError(f"変数名として使えません: {text!r} (一文字か alpha などのギリシャ文字、添字は x_1 のように書く)")
    return candidate


def split_name(name: str) -> tuple[str, str]:
    """A stored name as (base, subscript); the subscript is '' when there is none."""
    base, _, subscript = name.partition("_")
    return base, subscript


def latex_name(name: str) -> str:
    """``x_1`` → ``x_{1}``, ``alpha`` → ``\\alpha``."""
    base, subscript = split_name(name)
    text = f"\\{base}" if base in GREEK else base
    return f"{text}_{{{subscript}}}" if subscript else text
