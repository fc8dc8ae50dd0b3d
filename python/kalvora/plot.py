"""Graphs as a textbook draws them: ``kalvora.plot``.

matplotlib (the ``picture`` extra) is imported when a graph is drawn, so that
``import kalvora`` works without it.
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Union

from .formula import Formula, FormulaLike, as_formula, number
from .graph import Feature, Marks, marks
from .latex import latex

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure
    from matplotlib.text import Annotation
    from matplotlib.transforms import Bbox, Transform

    from .sampling import Array

FORMATS = (".png", ".svg", ".pdf")

# Curves are told apart by their dashes, so that the figure reads in black and white
# (asymptotes and guides have their own).
LineStyle = Union[str, tuple[float, tuple[float, ...]]]
_CURVE_STYLES: tuple[LineStyle, ...] = ("-", (0, (6, 2, 1, 2)), (0, (1, 1.5)), (0, (8, 3)))
_ASYMPTOTE: LineStyle = (0, (4, 3))
_GUIDE: LineStyle = (0, (1, 2))
_SAMPLES = 1500
_FONT = "cm"  # Computer Modern, the look of typeset mathematics


@dataclass
class _Curve:
    marks: Marks
    xs: Array
    ys: Array
    at: Callable[[Array], Array]  # the function's values anywhere, for placing labels off the curve


def plot(f: FormulaLike | Sequence[FormulaLike], domain: tuple[FormulaLike, FormulaLike, FormulaLike],
         path: str | os.PathLike[str] | None = None) -> Figure:
    """f のグラフを教科書の図のように描き、matplotlib の Figure を返す (path があれば保存する)。

    ``kalvora.plot("x^3 - 3x", ("x", -3, 3), path="graph.png")``。f は式か式のリスト (一つの図に
    重ねて描く)、範囲の端は ``-3`` や ``"pi"`` のような数。形式は path の拡張子で
    .png, .svg, .pdf から選ぶ。

    座標軸は原点 O で交わり、x 切片・y 切片・極値の点を正確な値 (``\\sqrt{2}`` など) と
    ともに記し、漸近線を破線で引く。点は代数で正確に求めたものだけを記す: 有理数係数の
    因数が 2 次以下の多項式や、三角関数・指数関数・対数関数で正確に解けるもの。正確に
    書けない点 (5 次方程式の解など) は記さない (印は `kalvora.graph.marks` で得られる)。
    曲線は定義されないところ (負の数の対数など) で途切れ、極では切れる。
    """
    functions = [as_formula(g) for g in (f if isinstance(f, (list, tuple)) else [f])]
    if not functions:
        raise ValueError("描く式がありません")
    fmt = _format_of(path)
    found = [marks(g, domain) for g in functions]
    figure = _figure(found)
    if path is not None:
        figure.savefig(path, format=fmt, bbox_inches="tight", pad_inches=0.05, dpi=150)
    return figure


def _format_of(path: str | os.PathLike[str] | None) -> str:
    if path is None:
        return ""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    if suffix not in FORMATS:
        raise ValueError(f"グラフは {', '.join(FORMATS)} のどれかで保存できます: {os.fspath(path)}")
    return suffix[1:]


def _figure(found: list[Marks]) -> Figure:
    from matplotlib.figure import Figure

    figure = Figure(figsize=(5.6, 4.4))
    axes = figure.add_subplot()
    curves = [_sampled(m) for m in found]
    _set_view(axes, found, curves)
    labels = _Labels(figure, axes, curves)
    _draw_axes(axes, labels)
    for m in found:
        _draw_asymptotes(axes, m, labels)
    several = len(curves) > 1
    for curve, style in zip(curves, itertools.cycle(_CURVE_STYLES)):
        axes.plot(curve.xs, _broken(curve.ys, axes.get_ylim()), color="black", linewidth=1.5, linestyle=style,
                  label=_mathtext_label(curve.marks.function, "y = ") if several else None)
        _draw_points(axes, curve.marks, labels)
    if several:
        legend = axes.legend(loc="best", frameon=True, framealpha=1.0, edgecolor="white", handlelength=3.2)
        for text in legend.get_texts():
            text.set_math_fontfamily(_FONT)
    return figure


# --- samples ----------------------------------------------------------------------------


def _sampled(m: Marks) -> _Curve:
    """The curve's points: evenly spaced, plus the marked points and ever closer approaches
    to each pole (so that the curve runs off the figure there), with a gap at each pole."""
    import numpy as np

    from .sampling import sampler

    low, high = m.window.bounds
    width = high - low
    poles = [float(c) for c in m.vertical]
    approaches = [pole + side * width * 10.0 ** -k for pole in poles for side in (-1, 1) for k in range(2, 10)]
    extra = np.clip([*approaches, *(float(p.x) for p in m.points)], low, high)
    xs = np.unique(np.concatenate([np.linspace(low, high, _SAMPLES), extra, poles]))
    at = sampler(m.function, m.window.variable.name)
    ys = at(xs)
    ys[np.isin(xs, poles)] = np.nan  # tan at the float nearest π/2 is finite; the gap must not be
    return _Curve(m, xs, ys, at)


def _broken(ys: Array, limits: tuple[float, float]) -> Array:
    """ys with a gap where the curve jumps from beyond one edge of the view to beyond the
    other: a pole that the algebra did not find exactly."""
    import numpy as np

    bottom, top = limits
    above, below = ys > top, ys < bottom
    jumps = np.flatnonzero((above[:-1] & below[1:]) | (below[:-1] & above[1:]))
    broken = ys.copy()
    broken[jumps + 1] = np.nan
    return broken


# --- the view -----------------------------------------------------------------------------


def _set_view(axes: Axes, found: list[Marks], curves: list[_Curve]) -> None:
    """The view holds the origin, every window and every marked point. Upward and downward
    it holds the curves away from their poles, but where they run far beyond the marked
    points (x^{3} - 3x on [-3, 3] reaches 18, its extrema are ±2) it stops at a height
    that keeps the marked features large; curves then leave the figure, as in textbooks."""
    lows, highs = zip(*(m.window.bounds for m in found))
    left, right = min(0.0, *lows), max(0.0, *highs)
    width = right - left
    marked = [0.0, *(float(p.y) for m in found for p in m.points)]
    needed = min(marked), max(marked)
    bulk = [*needed, *(y for curve in curves for y in _bulk(curve, 0.04 * width))]
    bottom, top = _within(needed, (min(bulk), max(bulk)), _LARGEST_RATIO * (needed[1] - needed[0]), _ASPECT * width)
    if top - bottom < 1e-9:
        bottom, top = bottom - 1, top + 1
    axes.set_xlim(left - 0.06 * width, right + 0.08 * width)
    axes.set_ylim(bottom - 0.08 * (top - bottom), top + 0.1 * (top - bottom))


# The view's height is at most this many times the height of the marked points, or this
# many times its width, whichever is more; a curve with no marked height keeps its own.
_LARGEST_RATIO = 3.0
_ASPECT = 1.5


def _within(needed: tuple[float, float], bulk: tuple[float, float], *heights: float) -> tuple[float, float]:
    """The part of bulk that holds `needed` and is at most max(heights) high, grown evenly
    about `needed` where the bulk leaves room on both sides."""
    low, high = bulk
    height = max(heights)
    if needed[1] == needed[0] or high - low <= height:
        return low, high
    room = height - (needed[1] - needed[0])
    down = min(needed[0] - low, room / 2)
    up = min(high - needed[1], room - down)
    down = min(needed[0] - low, room - up)
    return needed[0] - down, needed[1] + up


def _bulk(curve: _Curve, margin: float) -> tuple[float, ...]:
    """The lowest and highest finite values of the curve farther than margin from its poles;
    the 2nd and 98th percentiles, widened by half, when the extremes lie far outside them
    (the spike of a pole the algebra did not find)."""
    import numpy as np

    away = np.ones_like(curve.xs, dtype=bool)
    for pole in curve.marks.vertical:
        away &= np.abs(curve.xs - float(pole)) > margin
    ys = curve.ys[away]
    finite = ys[np.isfinite(ys)]
    if not finite.size:
        return ()
    lowest, highest = float(finite.min()), float(finite.max())
    low, high = (float(v) for v in np.percentile(finite, [2, 98]))
    if highest - lowest <= 4 * (high - low):
        return lowest, highest
    spread = high - low
    return low - spread / 2, high + spread / 2


# --- labels ---------------------------------------------------------------------------------

Placement = tuple[tuple[float, float], str, str]  # offset in points, horizontal and vertical alignment
Corner = tuple[int, int]  # (±1, ±1): right or left of a point, above or below it
BELOW_RIGHT, BELOW_LEFT, ABOVE_RIGHT, ABOVE_LEFT = (1, -1), (-1, -1), (1, 1), (-1, 1)


def _corners(*corners: Corner) -> list[Placement]:
    return [((3 * sx, 3 * sy), "left" if sx > 0 else "right", "bottom" if sy > 0 else "top") for sx, sy in corners]


class _Labels:
    """Writes each label in the first of its placements where it meets no curve and no other
    label, else in the first where it meets no other label, else not at all (a crowded
    figure keeps its dots); each text at a point is written once."""

    def __init__(self, figure: Figure, axes: Axes, curves: list[_Curve]) -> None:
        import numpy as np
        from matplotlib.backends.backend_agg import FigureCanvasAgg

        self.axes = axes
        # measures texts before the figure is saved (matplotlib leaves this method unannotated)
        self.renderer = FigureCanvasAgg(figure).get_renderer()  # type: ignore[no-untyped-call]
        points = [np.column_stack([c.xs, c.ys]) for c in curves]
        every = np.concatenate(points) if points else np.empty((0, 2))
        self.curve_points = axes.transData.transform(every[np.isfinite(every).all(axis=1)])
        self.boxes: list[Bbox] = []
        self.written: set[tuple[str, float, float]] = set()

    def put(self, text: str, where: tuple[float, float], placements: Sequence[Placement],
            coordinates: str | Transform = "data") -> None:
        key = (text, round(where[0], 9), round(where[1], 9))
        if key in self.written:
            return
        self.written.add(key)
        chosen: tuple[Annotation, Bbox] | None = None
        for placement in placements:
            label = self._annotate(text, where, coordinates, placement)
            box = label.get_window_extent(self.renderer).padded(1.5)
            free = not self._meets_label(box)
            if free and not self._meets_curve(box):
                if chosen is not None:
                    chosen[0].remove()
                chosen = label, box
                break
            if free and chosen is None:
                label.set_bbox(None)  # meets a curve, which its white ground would cut
                chosen = label, box  # kept unless a better place turns up
            else:
                label.remove()
        if chosen is not None:  # else every place is taken by other labels: the dot stays unlabelled
            self.boxes.append(chosen[1])

    def _annotate(self, text: str, where: tuple[float, float], coordinates: str | Transform,
                  placement: Placement) -> Annotation:
        # on a white ground, so that a dotted guide or a dashed asymptote through it stops short
        offset, ha, va = placement
        return self.axes.annotate(text, xy=where, xycoords=coordinates, xytext=offset, textcoords="offset points",
                                  ha=ha, va=va, fontsize=11, math_fontfamily=_FONT, zorder=6,
                                  bbox={"boxstyle": "square,pad=0.1", "facecolor": "white", "edgecolor": "none"})

    def _meets_label(self, box: Bbox) -> bool:
        return any(box.overlaps(other) for other in self.boxes)

    def _meets_curve(self, box: Bbox) -> bool:
        xs, ys = self.curve_points[:, 0], self.curve_points[:, 1]
        return bool(((box.x0 <= xs) & (xs <= box.x1) & (box.y0 <= ys) & (ys <= box.y1)).any())


# --- drawing ------------------------------------------------------------------------------


def _draw_axes(axes: Axes, labels: _Labels) -> None:
    """Axes that cross at the origin O, with arrows, labelled x and y, without ticks."""
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)
    for side in ("left", "bottom"):
        axes.spines[side].set_position(("data", 0))
        axes.spines[side].set_linewidth(0.8)
    axes.set_xticks([])
    axes.set_yticks([])
    axes.plot(1, 0, ">k", markersize=5, transform=axes.get_yaxis_transform(), clip_on=False)
    axes.plot(0, 1, "^k", markersize=5, transform=axes.get_xaxis_transform(), clip_on=False)
    labels.put("$x$", (1, 0), [((7, 0), "left", "center")], axes.get_yaxis_transform())
    labels.put("$y$", (0, 1), [((0, 7), "center", "bottom")], axes.get_xaxis_transform())
    labels.put("$O$", (0, 0), _corners(BELOW_LEFT, BELOW_RIGHT, ABOVE_LEFT, ABOVE_RIGHT))


def _on_x_axis(x: float) -> list[Placement]:
    """Places for a label beside a point on the x-axis: outward from the origin first."""
    if x < 0:
        return _corners(BELOW_LEFT, ABOVE_LEFT, BELOW_RIGHT, ABOVE_RIGHT)
    return _corners(BELOW_RIGHT, ABOVE_RIGHT, BELOW_LEFT, ABOVE_LEFT)


_ON_Y_AXIS = _corners(BELOW_LEFT, ABOVE_LEFT, BELOW_RIGHT, ABOVE_RIGHT)


def _projections(x: float, y: float) -> tuple[list[Placement], list[Placement]]:
    """Places for the labels of an extremum's x on the x-axis and its y on the y-axis: on
    the far side of each axis from the point, away from the dotted guides, first (an
    extremum on the y-axis has its y beside it, like an intercept)."""
    below: Placement = ((0, -4), "center", "top")
    above: Placement = ((0, 4), "center", "bottom")
    left: Placement = ((-4, 0), "right", "center")
    right: Placement = ((4, 0), "left", "center")
    on_y = _ON_Y_AXIS if x == 0 else [left, right] if x > 0 else [right, left]
    return ([below, above] if y >= 0 else [above, below]), on_y


def _draw_asymptotes(axes: Axes, m: Marks, labels: _Labels) -> None:
    """Dashed lines, each labelled where it meets an axis."""
    import numpy as np

    from .sampling import sampler

    for c in m.vertical:
        if c == _ZERO:  # x = 0 is the y-axis itself
            continue
        axes.axvline(float(c), color="black", linewidth=0.8, linestyle=_ASYMPTOTE)
        labels.put(_mathtext_label(c), (float(c), 0.0), _on_x_axis(float(c)))
    if m.slant is None or m.slant == _ZERO:  # y = 0 is the x-axis itself
        return
    xs = np.linspace(*axes.get_xlim(), 200)
    axes.plot(xs, sampler(m.slant, m.window.variable.name)(xs), color="black", linewidth=0.8, linestyle=_ASYMPTOTE)
    if not m.slant.free_symbols:
        labels.put(_mathtext_label(m.slant), (0.0, float(m.slant)), _ON_Y_AXIS)


def _draw_points(axes: Axes, m: Marks, labels: _Labels) -> None:
    """A dot on each marked point (none at O), labelled with its exact coordinates on the
    axes; an extremum gets dotted lines to both axes and its labels on the far side of
    each axis, away from the lines, as in textbooks."""
    for point in m.points:
        x, y = float(point.x), float(point.y)
        if (x, y) != (0.0, 0.0):
            axes.plot([x], [y], "o", color="black", markersize=4, zorder=5)
        if point.feature is Feature.ZERO and x != 0:
            labels.put(_mathtext_label(point.x), (x, 0.0), _on_x_axis(x))
        elif point.feature is Feature.Y_INTERCEPT:
            labels.put(_mathtext_label(point.y), (0.0, y), _ON_Y_AXIS)
        elif point.feature in (Feature.MAXIMUM, Feature.MINIMUM):
            axes.plot([x, x, 0], [0, y, y], color="black", linewidth=0.6, linestyle=_GUIDE)
            on_x, on_y = _projections(x, y)
            if x != 0:
                labels.put(_mathtext_label(point.x), (x, 0.0), on_x)
            if y != 0:
                labels.put(_mathtext_label(point.y), (0.0, y), on_y)


_ZERO = number(0)


def _mathtext_label(formula: Formula, prefix: str = "") -> str:
    """A label: the formula's LaTeX when mathtext can draw it (fractions full size, as
    printed in a figure), else its plain text."""
    from matplotlib.mathtext import MathTextParser

    text = f"${prefix}{latex(formula)}$".replace(r"\frac{", r"\dfrac{")
    try:
        MathTextParser("path").parse(text)
    except (ValueError, RecursionError):  # mathtext knows only part of LaTeX
        return prefix + str(formula)
    return text
