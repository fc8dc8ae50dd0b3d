"""Ctrl-C: a long native call stops with KeyboardInterrupt soon after SIGINT, and the next call in
the same interpreter works. Each call runs in a child process, which the test interrupts."""
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.slow

PROMPT = 0.5  # seconds from the signal to the KeyboardInterrupt
STARTED = 1.0  # seconds the call runs before the signal

CHILD = """
import signal
from _kalvora_core import *

signal.signal(signal.SIGINT, signal.default_int_handler)  # whoever started us may ignore SIGINT
x, y = Var("x"), Var("y")

def doubled(times):  # a sum of 2^times leaves, in times + 1 nodes
    e = x
    for _ in range(times):
        e = Add(e, e)
    return e

arg = {build}
print("ready", flush=True)
try:
    {call}
    print("returned", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
print(expand(Mul(Add(x, Int(1)), Add(x, Int(-1)))).to_string(), simplify(Add(x, x)).to_string(), flush=True)
"""

# Each takes far longer than STARTED: minutes, some of them.
LONG_CALLS = {  # the argument, the call on it
    "expand on the polynomial path": ("Pow(Add(x, y), Int(100000))", "expand(arg)"),
    "expand of a shared sum": ("doubled(30)", "expand(arg)"),
    "expand collecting terms": ("Pow(Pow(Add(Pow(x, Int(-3)), Pi()), Int(4)), Int(3000))", "expand(arg)"),
    "simplify comparing equal halves": ("doubled(30)", "simplify(arg)"),
    "to_string": ("doubled(27)", "arg.to_string()"),
}


def line_within(stream, seconds):
    """The next line of an unbuffered stream, or b"" if none comes within `seconds`."""
    ready, _, _ = select.select([stream], [], [], seconds)
    return stream.readline() if ready else b""


@pytest.mark.parametrize("kind", LONG_CALLS)
def test_sigint_interrupts_a_long_call_and_the_next_call_works(kind):
    build, call = LONG_CALLS[kind]
    source = textwrap.dedent(CHILD).format(build=build, call=call)
    # Unbuffered, so that reading a line reads nothing beyond it and communicate() gets the rest.
    with subprocess.Popen([sys.executable, "-c", source], stdout=subprocess.PIPE, bufsize=0) as child:
        try:
            assert child.stdout.readline() == b"ready\n"
            time.sleep(STARTED)
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            outcome = line_within(child.stdout, 10)
            delay = time.perf_counter() - sent
            assert outcome == b"interrupted\n"
            assert delay < PROMPT
            rest = child.communicate(timeout=60)[0]
        finally:
            child.kill()
    assert rest == b"x^{2} - 1 2x\n"
    assert child.returncode == 0
