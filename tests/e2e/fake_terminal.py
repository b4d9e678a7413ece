"""A terminal played by the test itself: the program runs on a pseudo-terminal whose other end
this module holds, so every byte the program sends is seen exactly, and the terminal's answers
to its questions (where is the cursor?) are whatever the test makes them.

    run = run_on_fake_terminal([vordex, "*.txt"], cwd=folder,
                               cursor_answers=[b"\x1b[1;1R", b"\x1b[1;3R"])
    run.status, run.output, run.questions
"""

import fcntl
import os
import pty
import select
import signal
import struct
import subprocess
import termios
import time
from dataclasses import dataclass, field

CURSOR_QUESTION = b"\x1b[6n"


@dataclass
class FakeRun:
    status: int = None  # the exit code, or -n after signal n
    output: bytes = b""  # everything the program wrote to the terminal
    # Offsets in output just past each cursor question, in the order they were asked.
    questions: list = field(default_factory=list)


def _make_controlling_terminal():
    # Runs in the child after setsid(): standard input is already the slave, and a session
    # leader without a terminal takes the first one it asks for.
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def run_on_fake_terminal(argv, cwd, env, columns=80, rows=25, cursor_answers=(), keys=(),
                         timeout=120):
    """Runs argv with its standard input, output and error on a fresh pseudo-terminal of the
    given size, as the foreground job of a session of its own. The n-th cursor question is
    answered with cursor_answers[n] (none past the list's end). keys: (text, bytes) pairs, the
    bytes typed once the output first holds the text. Returns a FakeRun once the program has
    ended and everything it wrote has been read."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    try:
        process = subprocess.Popen(argv, cwd=cwd, env=env, stdin=slave, stdout=slave,
                                   stderr=slave, start_new_session=True,
                                   preexec_fn=_make_controlling_terminal)
    finally:
        # Only the program holds the slave now: its end is then the end of the output.
        os.close(slave)
    run = FakeRun()
    pending_keys = list(keys)
    deadline = time.monotonic() + timeout
    try:
        while True:
            if time.monotonic() > deadline:
                raise TimeoutError(f"{argv} did not end within {timeout} s; output so far:\n"
                                   f"{run.output[-2000:]!r}")
            ready, _, _ = select.select([master], [], [], 0.1)
            if not ready:
                continue
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: no process holds the slave any more
                break
            if not chunk:
                break
            start = max(0, len(run.output) - len(CURSOR_QUESTION) + 1)
            run.output += chunk
            while True:
                at = run.output.find(CURSOR_QUESTION, start)
                if at < 0:
                    break
                start = at + len(CURSOR_QUESTION)
                run.questions.append(start)
                if len(run.questions) <= len(cursor_answers):
                    os.write(master, cursor_answers[len(run.questions) - 1])
            for pair in list(pending_keys):
                text, typed = pair
                if text in run.output:
                    os.write(master, typed)
                    pending_keys.remove(pair)
        run.status = process.wait(timeout=max(1.0, deadline - time.monotonic()))
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        os.close(master)
    return run
