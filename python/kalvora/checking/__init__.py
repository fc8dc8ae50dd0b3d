"""Checking students' answers: equal to the expected formula, and written in the asked form.

verdict.py decides and words the result; forms.py holds the forms, normal.py the normal
form of how a formula is written (for "simplified" and like terms), values.py numeric
evaluation and the points tried.
"""

from .forms import FORMS
from .verdict import CheckResult, check

__all__ = ["FORMS", "CheckResult", "check"]
