#!/usr/bin/env python3
"""The console's terminal back end under a real terminal (tmux), driven through console_probe.

    test_terminal.py --probe build/tests/console/console_probe [--update-golden] [unittest args]
"""

import argparse
import os
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tmux_screen import TmuxScreen, assert_golden  # noqa: E402

GOLDEN = Path(__file__).resolve().parent / "golden"
PROBE = None


def process_state(pid):
    """The one-letter state from /proc: "T" when stopped."""
    try:
        text = Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return None
    return text[text.rindex(")") + 2]


class ProbeTest(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="vordex-console-")
        self.addCleanup(scratch.cleanup)
        self.folder = Path(scratch.name)
        self.term = TmuxScreen()
        self.addCleanup(self.term.kill)

    def file(self, name):
        return self.folder / name

    def start_probe(self, redirect="", job_control=False):
        """The probe inside a shell that records the terminal's modes before and after it and
        prints a line of its own once the probe has ended. With job control the probe gets a
        process group of its own, as under an interactive shell, so that Ctrl+Z can stop it;
        the shell then records the modes while it is stopped and brings it back with fg once a
        line is typed."""
        probe = f"{shlex.quote(str(PROBE))} --keys keys.txt --pid pid.txt {redirect}"
        if job_control:
            script = (f"set -m; stty -a > before.txt; {probe}; echo stopped=$?; "
                      f"stty -a > during.txt; read line; fg; echo exit=$?; "
                      f"stty -a > after.txt; echo shell text")
        else:
            script = (f"stty -a > before.txt; trap 'echo interrupted' INT; {probe}; "
                      f"echo exit=$?; stty -a > after.txt; echo shell text")
        self.term.start(["sh", "-c", script], cwd=self.folder)
        screen = self.term.wait_for_text("keys:")
        self.term.wait_until(lambda: self.file("pid.txt").exists(), what="the probe's pid")
        return screen

    def probe_pid(self):
        return int(self.file("pid.txt").read_text())

    def keys_read(self):
        path = self.file("keys.txt")
        return path.read_text().split() if path.exists() else []

    def press(self, key):
        """Presses one key and waits until the probe has read it, so that no two keys ever
        reach the terminal within the ESC timeout."""
        count = len(self.keys_read())
        self.term.send_keys(key)
        self.term.wait_until(lambda: len(self.keys_read()) > count, what=f"the probe to read {key}")
        return self.keys_read()[count:]

    def assert_ended_cleanly(self, status_text):
        self.term.wait_for_exit()
        screen = self.term.screen()
        self.assertIn(status_text, screen.all_text())
        before = self.file("before.txt").read_text()
        self.assertEqual(self.file("after.txt").read_text(), before, "stty -a changed")
        # Whatever the shell prints afterwards shows in the terminal's own colours.
        column, row = screen.find("shell text")
        for offset in range(len("shell text")):
            self.assertTrue(screen.cell(column + offset, row).default_colours)

    def test_the_screen_shows_colours_glyphs_and_the_title(self):
        screen = self.start_probe()
        self.assertEqual(self.term.title(), "console probe")
        self.assertTrue(screen.cell(1, 1).default_colours, "text before any colour is plain")
        yellow = screen.cell(1, 2)
        self.assertEqual((yellow.glyph, yellow.foreground, yellow.background), ("y", 14, 1))
        self.assertEqual(screen.cell(16, 2).attribute, 0x4C)
        self.assertEqual(screen.cell(32, 2).attribute, 0x07)
        self.assertFalse(screen.cell(32, 2).default_colours, "7 named by the program is explicit")
        self.assertEqual((screen.cell(7, 4).glyph, screen.cell(8, 4).glyph), ("漢", ""))
        self.assertEqual(screen.cell(12, 4).glyph, "e\u0301")
        self.assertTrue(screen.text(5).startswith("controls: ☺☻←⌂○♪◙"))
        self.assertTrue(screen.text(6).startswith("box: ░▒▓│┤─┼√∙"))
        self.assertEqual(screen.text(7)[76:], "cut ")
        self.assertTrue(screen.text(8).startswith("stream controls: ☺☻♥ tab○bell end"))
        self.assertEqual([screen.text(row).rstrip() for row in range(10, 14)],
                         ["window line 3", "window line 4", "window line 5", ""])
        assert_golden(screen, GOLDEN / "terminal_probe.txt")
        self.press("q")
        self.assert_ended_cleanly("exit=0")
        self.assertIn("probe done", self.term.screen().all_text())

    def test_keys_sent_by_the_terminal(self):
        self.start_probe()
        expected = [
            ("Up", "0,72"), ("Down", "0,80"), ("Left", "0,75"), ("Right", "0,77"),
            ("Home", "0,71"), ("End", "0,79"), ("PPage", "0,73"), ("NPage", "0,81"),
            ("IC", "0,82"), ("DC", "0,83"), ("F1", "0,59"), ("F4", "0,62"), ("F5", "0,63"),
            ("F10", "0,68"), ("F11", "0,133"), ("F12", "0,134"), ("S-F1", "0,84"),
            ("C-Up", "0,141"), ("M-Up", "0,152"), ("C-Right", "0,116"), ("Enter", "13,0"),
            ("KPEnter", "13,0"), ("Tab", "9,0"), ("BTab", "0,15"), ("BSpace", "8,0"),
            ("M-x", "0,45"), ("M-1", "0,120"), ("Escape", "27,0"), ("a", "97,0"),
            ("C-a", "1,0"),
        ]
        for key, pair in expected:
            with self.subTest(key=key):
                self.assertEqual(self.press(key), [pair])
        self.press("q")
        self.assert_ended_cleanly("exit=0")

    def test_ctrl_c_restores_the_terminal(self):
        self.start_probe()
        self.term.send_keys("C-c")
        self.assert_ended_cleanly("exit=130")
        self.assertEqual(self.keys_read(), [], "Ctrl+C never arrives as a key")

    def test_sigterm_restores_the_terminal(self):
        self.start_probe()
        os.kill(self.probe_pid(), signal.SIGTERM)
        self.assert_ended_cleanly("exit=143")

    def test_ctrl_z_restores_and_continue_repaints(self):
        first = self.start_probe(job_control=True)
        probe = self.probe_pid()
        self.term.send_keys("C-z")
        self.term.wait_for_text("stopped=148")
        self.assertEqual(process_state(probe), "T")
        self.assertEqual(self.file("during.txt").read_text(), self.file("before.txt").read_text(),
                         "the modes while stopped")
        # Something else draws on the terminal meanwhile; continuing must paint it over.
        with open(self.term.pane_tty(), "w") as tty:
            tty.write("\x1b[2J\x1b[HSCRIBBLE\n")
        self.term.wait_for_text("SCRIBBLE")
        self.term.send_keys("Enter")
        self.term.wait_until(lambda: "SCRIBBLE" not in self.term.screen().all_text(),
                             what="the repaint")
        self.assertEqual(self.term.screen().golden(), first.golden())
        self.press("q")
        self.assert_ended_cleanly("exit=0")

    def test_redirected_output_stays_empty(self):
        screen = self.start_probe(redirect="> out.txt")
        self.assertIn("yellow on blue", screen.all_text(), "the screen is still drawn")
        self.press("q")
        self.assert_ended_cleanly("exit=0")
        self.assertEqual(self.file("out.txt").read_bytes(), b"")

    def test_without_any_terminal_the_probe_ends_at_once(self):
        stdin = self.file("in.txt")
        stdin.write_bytes(b"q")
        started = time.monotonic()
        with open(stdin, "rb") as source, open(self.file("out.txt"), "wb") as sink:
            result = subprocess.run([str(PROBE), "--keys", str(self.file("keys.txt"))],
                                    stdin=source, stdout=sink, stderr=sink,
                                    start_new_session=True, timeout=10)
        self.assertEqual(result.returncode, 0)
        self.assertLess(time.monotonic() - started, 3.0)
        self.assertEqual(self.file("out.txt").read_bytes(), b"")
        self.assertEqual(self.keys_read(), ["27,0", "27,0"], "with no keyboard every key is ESC")


def main():
    global PROBE
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--update-golden", action="store_true")
    args, rest = parser.parse_known_args()
    PROBE = Path(args.probe).resolve()
    if args.update_golden:
        os.environ["VORDEX_UPDATE_GOLDEN"] = "1"
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
