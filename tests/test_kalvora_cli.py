"""The kalvora command: run in-process through cli.main, and as a process where pipes,
full devices and signals matter."""

import importlib
import io
import os
import re
import signal
import struct
import subprocess
import sys
import tomllib
from pathlib import Path

import _kalvora_core as core
import pytest

import kalvora
from kalvora import cli

PACKAGE_PARENT = str(Path(kalvora.__file__).resolve().parents[1])


@pytest.fixture
def kalvora_cli(capsys, monkeypatch):
    """Run the command in-process: (exit status, stdout, stderr)."""

    def run(*args, stdin=b""):
        data = stdin.encode() if isinstance(stdin, str) else stdin
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data), encoding="utf-8"))
        try:
            status = cli.main(list(args))
        except SystemExit as exit:  # argparse: usage errors, --help, --version
            status = exit.code
        out, err = capsys.readouterr()
        return status, out, err

    return run


def process(*args, **options):
    """Start the command from this source tree as a separate process."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")]))}
    return subprocess.Popen([sys.executable, "-m", "kalvora", *args], env=env, text=True, **options)


def failed_labels(stderr):
    return re.findall(r"^kalvora: (\d+ (?:行目|番目の式)): ", stderr, flags=re.MULTILINE)


@pytest.mark.parametrize(("args", "stdout", "status", "stderr"), [
    (["expand", "(x+1)^3"], "x^{3} + 3x^{2} + 3x + 1\n", 0, ""),
    (["latex", "pi r^2"], "\\pi r^{2}\n", 0, ""),
    (["latex", "x*(-2)"], "x\\left(-2\\right)\n", 0, ""),
    (["tree", "2x^2"], "Mul(Number(2), Pow(Symbol('x'), Number(2)))\n", 0, ""),
    (["latex", "x", "--core", "y"], "x\ny\n", 0, ""),  # options may come between expressions
    (["latex", "--", "-y", "-2"], "-y\n-2\n", 0, ""),
    (["simplify", "1/0"], "\n", 1, "kalvora: 1 番目の式: "),
    ([], "", 2, "required"),
    (["differentiate", "x"], "", 2, "invalid choice"),
    (["latex", "-x"], "", 2, "-- の後に書く"),
    (["tree", "--core", "x"], "", 2, "--core"),  # the tree is the package's own, there is no engine text
    (["tree", "--png", "f.png", "x"], "", 2, "--png"),
])
def test_outputs_and_exit_statuses(kalvora_cli, args, stdout, status, stderr):
    run_status, out, err = kalvora_cli(*args)
    assert (out, run_status) == (stdout, status)
    assert stderr in err and bool(err) == bool(stderr)


@pytest.mark.parametrize(("args", "stdin", "stdout", "failed"), [
    (["latex"], "x\n\nx +\n   \n2x\n", "x\n\n\n\n2x\n", ["3 行目"]),
    (["latex"], "x +\n1/\n", "\n\n", ["1 行目", "2 行目"]),
    (["simplify"], "1/0\nx", "\nx\n", ["1 行目"]),  # no newline after the last line
    (["latex"], "x\r\n\r\ny\r\n", "x\n\ny\n", []),
    (["latex"], b"x\n\xff\ny\n", "x\n\ny\n", ["2 行目"]),  # bytes that are not UTF-8
    (["latex"], "", "", []),
    (["latex", "x", "x +", "", "y"], "", "x\n\n\ny\n", ["2 番目の式"]),
    (["simplify", "2/4", "1/0", "x"], "", "\\frac{1}{2}\n\nx\n", ["2 番目の式"]),
])
def test_one_output_line_per_input_line(kalvora_cli, args, stdin, stdout, failed):
    status, out, err = kalvora_cli(*args, stdin=stdin)
    assert (out, failed_labels(err), status) == (stdout, failed, 1 if failed else 0)
    # Every message line is a labelled first line or the indented caret lines of a ParseError.
    assert all(line.startswith(("kalvora: ", "  ")) for line in err.splitlines())


X_PLUS_1 = core.Add(core.Var("x"), core.Int(1))


@pytest.mark.parametrize(("verb", "text", "tree", "engine"), [
    ("expand", "(x+1)^3", core.Pow(X_PLUS_1, core.Int(3)), core.expand),
    ("expand", "100000*100000", core.Mul(core.Int(100000), core.Int(100000)), core.expand),
    ("expand", "(x+1)^2 - (x-1)^2", core.Add(core.Pow(X_PLUS_1, core.Int(2)), core.Neg(
        core.Pow(core.Add(core.Var("x"), core.Neg(core.Int(1))), core.Int(2)))), core.expand),
    ("simplify", "sqrt(8)", core.Sqrt(core.Int(8)), core.simplify),
    ("simplify", "sin(x)^2", core.Pow(core.Sin(core.Var("x")), core.Int(2)), core.simplify),
    ("latex", "pi r^2", core.Mul(core.Pi(), core.Pow(core.Var("r"), core.Int(2))), None),
])
def test_core_prints_the_engines_own_bytes(kalvora_cli, verb, text, tree, engine):
    status, out, err = kalvora_cli(verb, "--core", text)
    expected = (engine(tree) if engine else tree).to_string()
    assert (status, out, err) == (0, expected + "\n", "")


def test_version(kalvora_cli):
    assert kalvora_cli("--version") == (0, f"kalvora {kalvora.__version__}\n", "")


def test_help_lists_every_verb_on_one_line(kalvora_cli):
    status, out, _ = kalvora_cli("--help")
    assert status == 0
    for name, verb in cli.VERBS.items():
        assert re.search(rf"^ +{name} +{re.escape(verb.summary)}$", out, flags=re.MULTILINE), name


@pytest.mark.parametrize("name", cli.VERBS)
def test_a_verbs_help_describes_that_verb_only(kalvora_cli, name):
    status, out, _ = kalvora_cli(name, "--help")
    assert status == 0 and out.startswith(f"usage: kalvora {name} ")
    others = [verb.summary for other, verb in cli.VERBS.items() if other != name]
    assert cli.VERBS[name].summary in out and not any(summary in out for summary in others)
    assert ("--core" in out) == (cli.VERBS[name].core_output is not None)
    if name in ("expand", "simplify"):
        assert "_kalvora_core" in out  # they say which engine computes them


def test_installed_command_is_cli_main():
    with open(Path(__file__).resolve().parents[1] / "pyproject.toml", "rb") as file:
        module, function = tomllib.load(file)["project"]["scripts"]["kalvora"].split(":")
    assert getattr(importlib.import_module(module), function) is cli.main


@pytest.mark.parametrize("args", [["expand", "(x+1)^2", "x"], ["--help"], ["latex"]])
def test_a_closed_stdout_ends_quietly(args, tmp_path):
    reader, writer = os.pipe()
    os.close(reader)  # closed before the command starts, so its first write fails
    (tmp_path / "in").write_text("x\n" * 10)
    with open(tmp_path / "in") as stdin:
        command = process(*args, stdin=stdin, stdout=writer, stderr=subprocess.PIPE)
    os.close(writer)
    assert (command.wait(timeout=60), command.stderr.read()) == (141, "")


def test_a_reader_that_stops_early_ends_the_command_quietly(tmp_path):
    (tmp_path / "in").write_text("x^2\n" * 100_000)  # far more than a pipe holds
    with open(tmp_path / "in") as stdin:
        command = process("latex", stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert command.stdout.readline() == "x^{2}\n"
    command.stdout.close()
    assert (command.wait(timeout=60), command.stderr.read()) == (141, "")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [["expand", "(x+1)^2"], ["--version"], ["--help"]])
def test_a_full_stdout_is_one_line_on_stderr(args):
    with open("/dev/full", "w") as full:
        command = process(*args, stdout=full, stderr=subprocess.PIPE)
    stderr = command.stderr.read()
    assert command.wait(timeout=60) == 120
    assert stderr.startswith("kalvora: 標準出力に書けません") and stderr.count("\n") == 1


def test_ctrl_c_ends_with_130_and_one_line():
    command = process("latex", stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    command.stdin.write("x\n")
    command.stdin.flush()
    assert command.stdout.readline() == "x\n"  # running, and waiting for the next line
    command.send_signal(signal.SIGINT)
    assert command.wait(timeout=60) == 130
    assert command.stderr.read() == "kalvora: 中断しました\n"
    command.stdin.close()


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def test_pictures_are_real_images(kalvora_cli, tmp_path):
    pytest.importorskip("matplotlib")
    png, svg = tmp_path / "f.png", tmp_path / "f.svg"
    status, _, err = kalvora_cli("expand", "--png", str(png), "(x+1)^2", "sqrt(x)/cbrt(y) + sin(pi x)", "--svg", str(svg))
    assert (status, err) == (0, "")
    width, height = png_size(png)
    assert width > 100 and height > 40  # two lines of formulas, not an empty canvas
    assert "<svg" in svg.read_text()


def test_dpi_scales_the_png(kalvora_cli, tmp_path):
    pytest.importorskip("matplotlib")
    sizes = []
    for dpi in ("100", "300"):
        assert kalvora_cli("latex", "x^2 + 1", "--dpi", dpi, "--png", str(tmp_path / f"{dpi}.png"))[0] == 0
        sizes.append(png_size(tmp_path / f"{dpi}.png"))
    (small_width, small_height), (large_width, large_height) = sizes
    assert large_width / small_width == pytest.approx(3, rel=0.05)
    assert large_height / small_height == pytest.approx(3, rel=0.05)


@pytest.mark.parametrize("dpi", ["0", "-100", "abc", "nan", "inf"])
def test_dpi_must_be_a_positive_number(kalvora_cli, tmp_path, dpi):
    status, out, err = kalvora_cli("latex", "x", "--png", str(tmp_path / "f.png"), "--dpi", dpi)
    assert (status, out) == (2, "") and "--dpi" in err
    assert not (tmp_path / "f.png").exists()


@pytest.mark.parametrize(("args", "stdout", "message"), [
    (["latex", "x", "sqrt(" * 60 + "x" + ")" * 60, "--png", "f.png"], "x\n" + "\\sqrt{" * 60 + "x" + "}" * 60 + "\n",
     "2 番目の式は入れ子が深すぎて mathtext で描けません"),
    (["latex", "x", "--png", "missing/f.png"], "x\n", "画像を作れません"),
])
def test_a_picture_that_cannot_be_made_is_one_line(kalvora_cli, tmp_path, monkeypatch, args, stdout, message):
    pytest.importorskip("matplotlib")
    monkeypatch.chdir(tmp_path)
    status, out, err = kalvora_cli(*args)
    assert (status, out) == (1, stdout) and err.count("\n") == 1
    assert err.startswith("kalvora: ") and message in err
    assert not (tmp_path / "f.png").exists()


def test_missing_matplotlib_is_a_usage_error(kalvora_cli, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib now fails
    status, out, err = kalvora_cli("latex", "x", "--png", str(tmp_path / "f.png"))
    assert (status, out) == (2, "") and "pip install 'kalvora[picture]'" in err
    assert not (tmp_path / "f.png").exists()
