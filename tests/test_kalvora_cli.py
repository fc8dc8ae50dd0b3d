import struct
import subprocess
import sys
from pathlib import Path

import pytest


def kalvora(*args, stdin="", command=(sys.executable, "-m", "kalvora")):
    return subprocess.run([*command, *args], input=stdin, capture_output=True, text=True)


def test_installed_command_does_the_main_job():
    run = kalvora("expand", "(x+1)^3", command=[str(Path(sys.executable).with_name("kalvora"))])
    assert (run.stdout, run.returncode) == ("x^{3} + 3x^{2} + 3x + 1\n", 0)


@pytest.mark.parametrize(("args", "stdin", "stdout", "code", "stderr"), [
    (["expand", "(x+1)^3"], "", "x^{3} + 3x^{2} + 3x + 1\n", 0, ""),
    (["simplify", "2/4", "sqrt(8)"], "", "\\frac{1}{2}\n2\\sqrt{2}\n", 0, ""),
    (["latex", "x/2", "e^(i pi)"], "", "\\frac{x}{2}\ne^{i\\pi}\n", 0, ""),
    (["tree", "2x^2"], "", "Mul(Int(2), Pow(Var('x'), Int(2)))\n", 0, ""),
    (["latex", "--", "-x^2"], "", "-x^{2}\n", 0, ""),
    (["expand"], "(x-1)(x+1)\n\n  x^2 \n", "x^{2} - 1\nx^{2}\n", 0, ""),
    (["latex", "x +", "y"], "", "y\n", 1, "kalvora: 4 文字目: 式が途中で終わっています\n  x +\n     ^\n"),
    (["simplify"], "1/0\nx\n", "x\n", 1, "kalvora: ゼロ除算エラー\n"),
    ([], "", "", 2, "required"),
    (["differentiate", "x"], "", "", 2, "invalid choice"),
    (["latex", "-x"], "", "", 2, "-- の後に書く"),
])
def test_outputs_and_exit_codes(args, stdin, stdout, code, stderr):
    run = kalvora(*args, stdin=stdin)
    assert (run.stdout, run.returncode) == (stdout, code)
    assert stderr in run.stderr and bool(run.stderr) == bool(stderr)


def test_picture_files_are_real_images(tmp_path):
    pytest.importorskip("matplotlib")
    png, svg = tmp_path / "f.png", tmp_path / "f.svg"
    run = kalvora("expand", "--png", str(png), "(x+1)^2", "sqrt(x)/cbrt(y) + sin(pi x)", "--svg", str(svg))
    assert run.returncode == 0, run.stderr
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    assert width > 100 and height > 40  # two lines of formulas, not an empty canvas
    assert "<svg" in svg.read_text()
    unwritable = kalvora("latex", "x", "--png", str(tmp_path / "missing" / "f.png"))
    assert (unwritable.stdout, unwritable.returncode) == ("x\n", 1) and "kalvora: " in unwritable.stderr


def test_missing_matplotlib_is_a_usage_error(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None; from kalvora.__main__ import main; "
            "sys.exit(main(['latex', 'x', '--png', 'f.png']))")
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert run.returncode == 2 and "pip install 'kalvora[picture]'" in run.stderr
    assert not (tmp_path / "f.png").exists()
